# Cross build for 32-bit ARM gateways (ARMv7, hard-float ABI) with Debian's
# arm-linux-gnueabihf toolchain. Target programs run on the build machine
# through qemu user emulation, so ctest and test discovery work as natively.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(METERSCRIBE_TRIPLET arm-linux-gnueabihf)
set(METERSCRIBE_QEMU qemu-arm)
set(METERSCRIBE_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
