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
  # The per-server folders of our own test and demo servers.
  rm -rf /dev/shm/jack_velorin-* 2>/dev/null || true
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"

# The scanner is shared by its daemon, the MIDI input threads and its
# callers: its tests run once more under ThreadSanitizer. RtMidi's JACK ring
# buffer is exempt (scripts/tsan-suppressions.txt says why); any other report
# fails the run.
cd "$root"
tsan="${VELORIN_TSAN_BUILD_DIR:-build-tsan}"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
first=()
if [ ! -f "$tsan/CMakeCache.txt" ]; then first=("${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo); fi
cmake -S "$root" -B "$tsan" "${first[@]}" -DVELORIN_TSAN=ON -DVELORIN_WERROR="$werror" \
  -DVELORIN_BUILD_BENCH=OFF >/dev/null
cmake --build "$tsan" -j "$(nproc)" --target velorin_core velorin_jack_server \
  scanner_rules_test scanner_test scanner_list_cli_test velorin-update velorin-pedal-sim
export TSAN_OPTIONS="suppressions=$root/scripts/tsan-suppressions.txt:halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"
cd "$tsan"
ctest --output-on-failure -j "$(nproc)" --timeout 600 -L '^scanner$'
