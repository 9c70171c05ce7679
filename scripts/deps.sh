#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need,
# and any further PACKAGEs that a script asks for. Does nothing when they
# are all present already.
#   deps.sh [PACKAGE...]
set -euo pipefail

# make builds the install test's consumer project (CMake's default
# generator); libcurl4-openssl-dev, a test that links libcurl beside the
# library.
packages=(g++ cmake ninja-build make pkg-config libjson-c-dev libcurl4-openssl-dev googletest libgtest-dev iproute2 python3 valgrind util-linux "$@")
missing=()
for p in "${packages[@]}"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "deps: installing ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q -o DPkg::Lock::Timeout=600
$sudo apt-get install -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
