# Shared part of the cross toolchains (armhf.cmake, arm64.cmake): they set vantrell_deb_arch, the GNU
# triplet, the processor and the emulator, then include this. Builds against Debian's multiarch
# libraries of that architecture; tests run the binary under the emulator, which
# -DCMAKE_CROSSCOMPILING_EMULATOR=... replaces.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(CMAKE_CROSSCOMPILING_EMULATOR ${emulator} CACHE STRING "Runs ${vantrell_deb_arch} programs on the build machine")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config must describe the target's libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${vantrell_deb_arch})
