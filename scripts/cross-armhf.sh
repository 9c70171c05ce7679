#!/usr/bin/env bash
# cross-armhf.sh [--no-test] [--if-available] [--build-dir DIR] [-- CTEST_ARGS...]
#
# The 32-bit ARM (armhf) build of the router target: installs Debian's
# cross compilers, the armhf libraries (multiarch) and qemu-user when they
# are missing, builds everything into DIR (default build-armhf/) with
# cmake/armhf-toolchain.cmake, and runs the unit tests under qemu-user,
# each inside the sandbox (needs root). The stand-in daemons are the
# host's python; only the programs under test are armhf.
# --if-available: when the armhf packages cannot be installed (no armhf
# archive reachable), say so and stop with status 0 instead of failing;
# build and test failures still fail.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=$top/build-armhf
run_tests=1
if_available=0
while [[ $# -gt 0 ]]; do
	case $1 in
	--no-test) run_tests=0; shift ;;
	--if-available) if_available=1; shift ;;
	--build-dir) dir=$(realpath -m "$2"); shift 2 ;;
	--) shift; break ;;
	*) echo "usage: cross-armhf.sh [--no-test] [--if-available] [--build-dir DIR] [-- CTEST_ARGS...]" >&2; exit 2 ;;
	esac
done

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_get() { $sudo apt-get -qq -o DPkg::Lock::Timeout=600 "$@"; }

installed() {
	dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Host tools first (compiler-independent: cmake, ninja, pkg-config, python3
# for the stand-ins, iproute2 and unshare for the sandbox).
"$top/scripts/deps.sh"

packages=(crossbuild-essential-armhf libjson-c-dev:armhf libgtest-dev:armhf libstdc++6:armhf
	qemu-user)
missing=()
for p in "${packages[@]}"; do
	installed "$p" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
	if ! dpkg --print-foreign-architectures | grep -qx armhf; then
		$sudo dpkg --add-architecture armhf
	fi
	if ! { apt_get update && apt_get install -y --no-install-recommends "${missing[@]}"; }; then
		if [[ $if_available == 1 ]]; then
			echo "cross-armhf: the armhf packages could not be installed; armhf build SKIPPED" >&2
			exit 0
		fi
		exit 1
	fi
fi

if [[ ! -f $dir/build.ninja ]]; then
	cmake -S "$top" -B "$dir" -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" >/dev/null
fi
cmake --build "$dir"

if [[ $run_tests -eq 1 ]]; then
	ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@"
fi
