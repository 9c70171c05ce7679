#!/usr/bin/env bash
# cross.sh TARGET [--build-dir DIR] [--no-test] [-- CTEST_ARGS...]
#
# A router build, tested under qemu-user. TARGET is
#   armhf  32-bit ARM hard-float with musl libc, the routers' own libc
#          (Debian's arm-linux-gnueabihf compilers with musl-dev:armhf and
#          musl's specs file): the shipped programs and libraries, and the
#          end-to-end tests with them. The unit tests need the whole C++
#          library, which musl cannot have here; they run on mips.
#   mips   32-bit big-endian MIPS with Debian's mips-linux-gnu compilers
#          and their glibc: the same, and the unit tests, where a byte-order
#          fault would show.
#
# Installs the Debian packages it needs (cross compilers, qemu-user,
# musl-dev:armhf), adds a deb-src entry for the machine's own Debian
# sources when there is none, and puts everything else into DIR (default
# build-TARGET/): json-c built from Debian's source package (apt-get
# source) and, for mips, googletest from /usr/src/googletest, installed
# into DIR/sysroot; the project built in DIR; DIR/run, which runs a program
# of this build under qemu-user (see below). Then runs the tests, each in
# the sandbox (needs root), with the host's python as the stand-in daemons.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage() { echo "usage: cross.sh armhf|mips [--build-dir DIR] [--no-test] [-- CTEST_ARGS...]" >&2; exit 2; }
[[ $# -ge 1 ]] || usage
target=$1
shift
case $target in
armhf)
	triplet=arm-linux-gnueabihf
	qemu=qemu-arm
	packages=(gcc-$triplet g++-$triplet musl-dev:armhf linux-libc-dev-armhf-cross)
	;;
mips)
	triplet=mips-linux-gnu
	qemu=qemu-mips
	packages=(gcc-$triplet g++-$triplet libc6-dev-mips-cross googletest)
	;;
*) usage ;;
esac
dir=$top/build-$target
run_tests=1
while [[ $# -gt 0 ]]; do
	case $1 in
	--no-test) run_tests=0; shift ;;
	--build-dir) dir=$(realpath -m "$2"); shift 2 ;;
	--) shift; break ;;
	*) usage ;;
	esac
done
sysroot=$dir/sysroot
toolchain=$top/cmake/toolchain-$target.cmake
say() { printf 'cross %s: %s\n' "$target" "$*"; }

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_get() { $sudo apt-get -qq -o DPkg::Lock::Timeout=600 "$@"; }

# Debian packages: the host's tools (scripts/deps.sh), the cross compilers
# and qemu-user; dpkg-dev unpacks source packages.
if [[ $target == armhf ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
	$sudo dpkg --add-architecture armhf
	apt_get update
fi
"$top/scripts/deps.sh" qemu-user dpkg-dev "${packages[@]}"


# Runs a command with its output in the log file LOG, shown only when it
# fails: logged LOG COMMAND...
logged() {
	local log=$1
	shift
	if ! "$@" >"$log" 2>&1; then
		cat "$log" >&2
		say "failed: $* (output above, and in $log)" >&2
		exit 1
	fi
}
# Configures, builds and installs a CMake project of the target's into
# the sysroot: cmake_install NAME SOURCE_DIR CMAKE_ARGS...
cmake_install() {
	local name=$1 src=$2
	shift 2
	mkdir -p "$dir/deps"
	logged "$dir/deps/$name.log" cmake -S "$src" -B "$dir/deps/$name" -G Ninja \
		-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
		-DTARVIK_SYSROOT="$sysroot" -DCMAKE_INSTALL_PREFIX="$sysroot/usr" \
		-DCMAKE_INSTALL_LIBDIR=lib "$@"
	logged "$dir/deps/$name.log" cmake --build "$dir/deps/$name" --target install
}

mkdir -p "$dir/src" "$sysroot/usr/lib"
# json-c from Debian's source package, of the version the archive has.
json_c_version=$("$top/scripts/debian-source.sh" json-c "$dir/src/json-c")
if [[ ! -f $sysroot/.json-c-$json_c_version ]]; then
	rm -rf "$dir/deps/json-c"
	cmake_install json-c "$dir/src/json-c" -DBUILD_SHARED_LIBS=ON -DBUILD_STATIC_LIBS=OFF \
		-DBUILD_TESTING=OFF -DDISABLE_WERROR=ON
	rm -f "$sysroot"/.json-c-*
	touch "$sysroot/.json-c-$json_c_version"
fi
# musl brings no kernel headers: those of the cross compilers' package,
# for the musl build in the sysroot's include directory (only these
# three; the rest of /usr/$triplet/include is glibc's).
if [[ $target == armhf ]]; then
	mkdir -p "$sysroot/usr/include"
	for name in linux asm asm-generic; do
		ln -sfn "/usr/$triplet/include/$name" "$sysroot/usr/include/$name"
	done
fi
# googletest from the sources Debian ships, for the unit tests.
if [[ $target == mips ]]; then
	gtest_version=$(dpkg-query -W -f='${Version}' googletest)
	if [[ ! -f $sysroot/.googletest-$gtest_version ]]; then
		say "googletest $gtest_version from /usr/src/googletest"
		rm -rf "$dir/deps/googletest"
		cmake_install googletest /usr/src/googletest -DBUILD_GMOCK=OFF
		rm -f "$sysroot"/.googletest-*
		touch "$sysroot/.googletest-$gtest_version"
	fi
	# The target's C library and loader (/lib/ld.so.1) for qemu's -L.
	ln -sfn "/usr/$triplet/lib" "$sysroot/lib"
fi

# DIR/run PROGRAM ARGS...: a program of this build under qemu-user. qemu
# looks up absolute paths in the sysroot first (-L), so the target's
# loader finds its libraries there; the caller's LD_LIBRARY_PATH comes
# first, then the build's own libraries, then the sysroot's. LD_PRELOAD
# is the target program's, never qemu's own.
cat >"$dir/run.new" <<EOF
#!/bin/sh
# run PROGRAM ARGS...: runs PROGRAM of the $target build in $dir under
# $qemu (written by scripts/cross.sh).
dir='$dir'
libs="\$dir/lib:\$dir/standin:\$dir/sysroot/usr/lib"
preload=\${LD_PRELOAD-}
unset LD_PRELOAD
if [ -n "\$preload" ]; then
	set -- -E "LD_PRELOAD=\$preload" "\$@"
fi
exec $qemu -L "\$dir/sysroot" -E "LD_LIBRARY_PATH=\${LD_LIBRARY_PATH:+\$LD_LIBRARY_PATH:}\$libs" "\$@"
EOF
chmod +x "$dir/run.new"
mv "$dir/run.new" "$dir/run"

if [[ ! -f $dir/build.ninja ]]; then
	unit_tests=ON
	[[ $target == armhf ]] && unit_tests=OFF
	# Optimised for size, as a firmware build compiles what it ships.
	cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
		-DCMAKE_BUILD_TYPE=MinSizeRel \
		-DTARVIK_SYSROOT="$sysroot" -DCMAKE_CROSSCOMPILING_EMULATOR="$dir/run" \
		-DTARVIK_BUILD_BENCH=OFF -DTARVIK_UNIT_TESTS=$unit_tests >/dev/null
fi
cmake --build "$dir"

# What the shipped files are and need, for the log; the test
# unit.shipped_needs judges the NEEDED entries (in every build), and on
# armhf the loader must be musl's.
shipped=("$dir/debug/dravel" "$dir/providers/olsr-kavond" "$dir/providers/olsrd-kavond.so"
	"$dir/lib/libtarvik.so" "$dir/standin/libplovanutil.so")
for file in "${shipped[@]}"; do
	needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
	say "$(basename "$file"): $(readelf -h "$file" | sed -n 's/^ *Machine: *//p'), $(readelf -h "$file" | sed -n 's/^ *Data: *2.s complement, //p'), needs ${needed:-nothing}"
done
if [[ $target == armhf ]]; then
	interp=$(readelf -l "$dir/debug/dravel" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
	say "dravel's program interpreter: $interp"
	[[ $interp == /lib/ld-musl-armhf.so.1 ]] || { say "not musl's loader" >&2; exit 1; }
fi

if [[ $run_tests -eq 1 ]]; then
	ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@"
fi
