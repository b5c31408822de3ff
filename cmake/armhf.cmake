# Cross-build for 32-bit ARM Linux with hard float (armhf), tested under qemu-arm.
set(vantrell_deb_arch armhf)
set(triplet arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(emulator qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
