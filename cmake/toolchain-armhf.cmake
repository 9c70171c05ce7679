# The router's own build: 32-bit ARM hard-float with musl libc.
#
# Debian's arm-linux-gnueabihf cross compilers, turned to musl
# (musl-dev:armhf) by musl's specs file: musl's headers and start files,
# the loader /lib/ld-musl-armhf.so.1, libgcc linked statically. The specs
# leave out every system include directory, the C++ ones too; those are
# added back, and with __GLIBC_PREREQ defined (the C++ headers were
# configured for glibc) <utility>, <type_traits>, <cstring>,
# <string_view>, <optional>, <array> and <new> compile against musl. The
# rest of the C++ library does not, and nothing links it: --as-needed
# drops the libstdc++ that g++ names, and scripts/cross.sh checks that no
# program or library needs it.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#         -DTARVIK_SYSROOT=DIR/sysroot [-DCMAKE_CROSSCOMPILING_EMULATOR=DIR/run]
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(_triplet arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_triplet}-g++)
set(_specs /usr/lib/arm-linux-musleabihf/musl-gcc.specs)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
  OUTPUT_VARIABLE _gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(_cxx_include /usr/${_triplet}/include/c++/${_gcc_version})

# The kernel's headers (linux/, asm/) are in the sysroot; musl has none.
set(CMAKE_C_FLAGS_INIT "-specs=${_specs} -isystem ${TARVIK_SYSROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-specs=${_specs} -isystem ${TARVIK_SYSROOT}/usr/include -isystem ${_cxx_include} -isystem ${_cxx_include}/${_triplet} \"-D__GLIBC_PREREQ(a,b)=0\"")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,--as-needed")
endforeach()
