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
jobs=$(nproc)
heading() { printf '\n=== test.sh: %s\n' "$*"; }

heading "Debian packages (scripts/deps.sh)"
"$top/scripts/deps.sh"

heading "normal build (build/)"
"$top/scripts/build.sh" "$top/build"
heading "tests, normal build"
ctest --test-dir "$top/build" --output-on-failure -j "$jobs" "$@"

heading "sanitizer build, AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
"$top/scripts/build.sh" "$top/build-asan" -DTARVIK_SANITIZE=ON -DTARVIK_BUILD_BENCH=OFF
heading "tests, sanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" "$@"

# The 32-bit ARM build and its unit tests under qemu-user (skipped, with a
# message, where no armhf packages can be installed; TARVIK_TEST_ARMHF=0
# leaves it out).
if [[ ${TARVIK_TEST_ARMHF:-1} == 1 ]]; then
	heading "armhf build (build-armhf/) and its unit tests under qemu-user (scripts/cross-armhf.sh)"
	"$top/scripts/cross-armhf.sh" --if-available -- "$@"
fi

fuzz_seconds=${TARVIK_FUZZ_SECONDS:-15}
if [[ $fuzz_seconds != 0 ]]; then
	heading "fuzz targets, ${fuzz_seconds} s each (build-fuzz/, scripts/fuzz.sh)"
	"$top/scripts/fuzz.sh" "$fuzz_seconds"
fi
heading "all stages passed"
