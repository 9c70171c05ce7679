#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need,
# and any further PACKAGEs that a script asks for. Does nothing when they
# are all present already.
#   deps.sh [PACKAGE...]
set -euo pipefail

# make builds the install test's consumer project (CMake's default
# generator); libcurl4-openssl-dev, a test that links libcurl beside the
# library; python3-jsonschema, prometheus (promtool) and
# prometheus-node-exporter check olsr-kavond's NetJSON and Prometheus
# outputs with their consumers' own tools.
packages=(g++ cmake ninja-build make pkg-config libjson-c-dev libcurl4-openssl-dev googletest libgtest-dev iproute2 python3 valgrind util-linux
	python3-jsonschema prometheus prometheus-node-exporter "$@")
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
# Installing a package with a service must not start it: without systemd,
# invoke-rc.d would run the init scripts, and the Prometheus server would
# take port 9090 (olsrd's) and node_exporter 9100 on the host. A
# policy-rc.d that refuses every start (101) does that for the install;
# one already in place (a container's) is left as it is.
policy=/usr/sbin/policy-rc.d
if [[ ! -e $policy ]]; then
	printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
	$sudo chmod 755 "$policy"
	trap '$sudo rm -f "$policy"' EXIT
fi
$sudo apt-get install -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
