# Cross build for 32-bit ARM (armhf, hard float) with Debian's cross
# compilers and the armhf libraries installed through multiarch
# (/usr/lib/arm-linux-gnueabihf). Test programs run under qemu-user.
#   cmake -S . -B build-armhf -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
#         [-DTARVIK_ARMHF_DEV_ROOT=DIR]
# scripts/cross-armhf.sh installs what this needs and runs it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# TARVIK_ARMHF_DEV_ROOT: a directory with armhf -dev packages unpacked
# into it (dpkg -x), for those that cannot be installed beside the host's
# own (a -dev package that is not Multi-Arch: same). Its
# .pc files, rewritten to point into it, come first, and so do its headers
# and link names for find_path and find_library.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVIK_ARMHF_DEV_ROOT)
set(_pc_dirs /usr/lib/arm-linux-gnueabihf/pkgconfig /usr/share/pkgconfig)
if(TARVIK_ARMHF_DEV_ROOT)
  list(PREPEND _pc_dirs ${TARVIK_ARMHF_DEV_ROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig)
  list(PREPEND CMAKE_PREFIX_PATH ${TARVIK_ARMHF_DEV_ROOT}/usr)
endif()
# The armhf .pc files only: the host's would hand out x86-64 libraries and
# headers made for a 64-bit ABI.
list(JOIN _pc_dirs ":" _pc_path)
set(ENV{PKG_CONFIG_LIBDIR} "${_pc_path}")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Test programs run through this. The armhf loader and libraries live at
# their multiarch places on the host, so qemu needs no sysroot prefix.
find_program(TARVIK_QEMU_ARM NAMES qemu-arm qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVIK_QEMU_ARM})
