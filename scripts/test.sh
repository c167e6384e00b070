#!/usr/bin/env bash
# Set-up, build and run every test. Exits non-zero on any failure.
# The tests run in a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

build="${VELORIN_TEST_BUILD_DIR:-build-asan}"
bash scripts/build.sh "$build" -DVELORIN_SANITIZE=ON -DVELORIN_WERROR="$werror"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
