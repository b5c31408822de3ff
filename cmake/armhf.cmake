# Cross-build for 32-bit ARM Linux with hard float, against Debian's multiarch armhf libraries.
# Tests run the armhf binary under the emulator: -DCMAKE_CROSSCOMPILING_EMULATOR=... to pick another.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(triplet arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm CACHE STRING "Runs armhf programs on the build machine")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config must describe the armhf libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
