# SPDX-License-Identifier: ISC
# Cross build for aarch64 (64-bit ARM) Linux on an x86-64 Debian machine: Debian's cross compiler,
# the arm64 libraries installed through multiarch beside the native ones (tools/setup.sh arm64),
# and qemu-user to run what the build makes: the generators at build time and the tests.
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# pkg-config's wrapper that reads the arm64 .pc files.
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Libraries and headers from the multiarch folders (/usr/lib/aarch64-linux-gnu,
# /usr/include/aarch64-linux-gnu, then the shared /usr/include); programs are the machine's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The arm64 C library is installed through multiarch too, so its dynamic loader is where aarch64
# programs look for it and qemu needs no separate root. Tests and custom commands run through it.
find_program(QUENNET_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUENNET_QEMU_AARCH64})
