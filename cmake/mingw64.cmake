# Cross-build for 64-bit Windows with Debian's MinGW-w64 compiler, against the lean FFmpeg that
# scripts/lean-ffmpeg.sh windows-x64 builds (-DVANTRELL_FFMPEG_PREFIX=...). Tests run vantrell.exe
# under wine, which -DCMAKE_CROSSCOMPILING_EMULATOR=... replaces.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine CACHE STRING "Runs Windows programs on the build machine")
set(ENV{PKG_CONFIG_LIBDIR} /usr/${triplet}/lib/pkgconfig)
