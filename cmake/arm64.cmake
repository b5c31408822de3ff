# Cross-build for 64-bit ARM Linux (arm64, aarch64), tested under qemu-aarch64.
set(vantrell_deb_arch arm64)
set(triplet aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(emulator qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
