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

# JACK keeps its servers in a shared-memory registry with room for eight.
# A server that was killed leaves its entry behind, and entries under other
# names are never reclaimed, so after enough interrupted runs no test server
# can start ("Too many servers already active"). With no JACK server running
# at all, every entry is stale and the registry can go.
if ! pgrep -x jackd >/dev/null 2>&1 && ! pgrep -x jackdbus >/dev/null 2>&1; then
  rm -f /dev/shm/jack-shm-registry /dev/shm/jack-[0-9]* /dev/shm/jack_sem.* 2>/dev/null || true
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
