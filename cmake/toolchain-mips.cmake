# A big-endian router: 32-bit MIPS (o32) with Debian's mips-linux-gnu
# cross compilers and their glibc (libc6-dev-mips-cross, under
# /usr/mips-linux-gnu). The unit tests build here: the whole C++ library
# is available.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mips.cmake
#         -DTARVIK_SYSROOT=DIR/sysroot [-DCMAKE_CROSSCOMPILING_EMULATOR=DIR/run]
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)
