#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Does nothing when they are all present already.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libjson-c-dev libevent-dev libhttp-parser-dev
	googletest libgtest-dev iproute2 python3 valgrind util-linux)
missing=()
for p in "${packages[@]}"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
