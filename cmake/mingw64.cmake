# Cross-build for 64-bit Windows with Debian's MinGW-w64 compiler, against the lean FFmpeg that
# scripts/lean-ffmpeg.sh windows-x64 builds (-DVANTRELL_FFMPEG_PREFIX=...). Tests run vantrell.exe
# under wine, which -DCMAKE_CROSSCOMPILING_EMULATOR=... replaces.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)
# The POSIX thread model: the win32 one of GCC 12 has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine CACHE STRING "Runs Windows programs on the build machine")
set(ENV{PKG_CONFIG_LIBDIR} /usr/${triplet}/lib/pkgconfig)
