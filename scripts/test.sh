#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds, and runs every
# test (each in its own sandbox of namespaces; needs root), first in the
# normal build, then in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; then builds for 32-bit ARM and runs the unit
# tests under qemu-user (scripts/cross-armhf.sh; TARVIK_TEST_ARMHF=0
# skips); then runs every libFuzzer target for a short while
# (scripts/fuzz.sh; TARVIK_FUZZ_SECONDS each, default 15, 0 skips).
#   test.sh [CTEST_ARGS...]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/deps.sh"
jobs=$(nproc)

"$top/scripts/build.sh" "$top/build"
ctest --test-dir "$top/build" --output-on-failure -j "$jobs" "$@"

"$top/scripts/build.sh" "$top/build-asan" -DTARVIK_SANITIZE=ON -DTARVIK_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" "$@"

# The 32-bit ARM build and its unit tests under qemu-user (skipped, with a
# message, where no armhf packages can be installed; TARVIK_TEST_ARMHF=0
# leaves it out).
if [[ ${TARVIK_TEST_ARMHF:-1} == 1 ]]; then
	"$top/scripts/cross-armhf.sh" --if-available -- "$@"
fi

fuzz_seconds=${TARVIK_FUZZ_SECONDS:-15}
if [[ $fuzz_seconds != 0 ]]; then
	"$top/scripts/fuzz.sh" "$fuzz_seconds"
fi
