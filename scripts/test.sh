#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds, and runs every
# test (each in its own sandbox of namespaces; needs root), first in the
# normal build, then in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; then runs every libFuzzer target for a short
# while (scripts/fuzz.sh; TARVIK_FUZZ_SECONDS each, default 15, 0 skips).
#   test.sh [CTEST_ARGS...]
# With TARVIK_TEST_ARMHF=1 it also runs the 32-bit ARM cross build and its
# unit tests under qemu-user (scripts/cross-armhf.sh).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/deps.sh"
jobs=$(nproc)

"$top/scripts/build.sh" "$top/build"
ctest --test-dir "$top/build" --output-on-failure -j "$jobs" "$@"

"$top/scripts/build.sh" "$top/build-asan" -DTARVIK_SANITIZE=ON -DTARVIK_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" "$@"

fuzz_seconds=${TARVIK_FUZZ_SECONDS:-15}
if [[ $fuzz_seconds != 0 ]]; then
	"$top/scripts/fuzz.sh" "$fuzz_seconds"
fi

if [[ ${TARVIK_TEST_ARMHF:-0} == 1 ]]; then
	"$top/scripts/cross-armhf.sh" -- "$@"
fi
