# What both router toolchains share (included by cmake/toolchain-*.cmake).
#
# TARVIK_SYSROOT: the target's libraries built from source by
# scripts/cross.sh (json-c, and googletest for mips), installed under
# TARVIK_SYSROOT/usr. Libraries, headers, packages and .pc files are taken
# from there only; the host's would be x86-64 ones.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVIK_SYSROOT)
if(NOT TARVIK_SYSROOT)
  message(FATAL_ERROR "TARVIK_SYSROOT is not set (scripts/cross.sh sets it)")
endif()

list(APPEND CMAKE_FIND_ROOT_PATH ${TARVIK_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_LIBDIR} "${TARVIK_SYSROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
