# Cross-building the extension for Linux on AArch64 with Debian's cross
# compiler, against CPython 3.13 of the arm64 sysroot that
# scripts/provision-aarch64 prints (passed in QUORRAL_AARCH64_SYSROOT).
# The binary links against the cross toolchain's own C library; from the
# sysroot come only Python's headers and, under qemu-user, its interpreter.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(QUORRAL_AARCH64_SYSROOT "$ENV{QUORRAL_AARCH64_SYSROOT}")
if(NOT QUORRAL_AARCH64_SYSROOT)
  message(FATAL_ERROR "set QUORRAL_AARCH64_SYSROOT to the output of scripts/provision-aarch64")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${QUORRAL_AARCH64_SYSROOT})

set(CMAKE_FIND_ROOT_PATH ${QUORRAL_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The arm64 interpreter and its headers, whatever the build frontend passed
# for the interpreter that runs it.
set(Python_EXECUTABLE ${QUORRAL_AARCH64_SYSROOT}/usr/bin/python3.13 CACHE FILEPATH "" FORCE)
set(Python_INCLUDE_DIR ${QUORRAL_AARCH64_SYSROOT}/usr/include/python3.13 CACHE PATH "" FORCE)
set(Python_SOABI cpython-313-aarch64-linux-gnu CACHE STRING "" FORCE)
unset(Python_ROOT_DIR CACHE)
unset(Python_LIBRARY CACHE)
