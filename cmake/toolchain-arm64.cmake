# Cross build for 64-bit ARM gateways (AArch64) with Debian's
# aarch64-linux-gnu toolchain. Target programs run on the build machine
# through qemu user emulation, so ctest and test discovery work as natively.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(METERSCRIBE_TRIPLET aarch64-linux-gnu)
set(METERSCRIBE_QEMU qemu-aarch64)
set(METERSCRIBE_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
