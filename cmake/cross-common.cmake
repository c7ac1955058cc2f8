# The part of the ARM toolchain files that does not depend on the
# architecture. Debian's cross toolchains keep the target's C library and
# libstdc++ in /usr/<triplet>, which also serves qemu as the target's root.
set(CMAKE_C_COMPILER ${METERSCRIBE_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${METERSCRIBE_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${METERSCRIBE_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must not offer the build machine's libraries for the target:
# only Debian's multiarch directory of the target architecture is searched.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${METERSCRIBE_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
# Target libraries that this machine cannot install beside its own (libpq's
# development package is not multiarch) are unpacked into a root of their
# own, METERSCRIBE_TARGET_ROOT (scripts/package-server): searched instead.
# The compiler checks read this file again in projects of their own, where
# it must not undo the search (the environment is the process's).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES METERSCRIBE_TARGET_ROOT)
if(METERSCRIBE_TARGET_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${METERSCRIBE_TARGET_ROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${METERSCRIBE_TARGET_ROOT}/usr/lib/${METERSCRIBE_TRIPLET}/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${METERSCRIBE_TARGET_ROOT})
endif()

# ctest and gtest_discover_tests prefix every target program with this.
# Programs that the tests start themselves (the daemon, the test binary
# re-run as a helper) go through the kernel's binfmt_misc entry for qemu,
# which reads the target root from QEMU_LD_PREFIX; qemu hands its own
# environment on, so every descendant finds the target's libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env;QEMU_LD_PREFIX=/usr/${METERSCRIBE_TRIPLET};${METERSCRIBE_QEMU})

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${METERSCRIBE_DEB_ARCH} CACHE STRING "Debian architecture of the package")
