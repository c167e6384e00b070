#!/usr/bin/env bash
# Set-up, build and run the main job as far as it exists: with no pedal at
# hand, a private JACK server and the pedal simulator stand in for the MIDI
# service and the pedals, and 'velorin-update list' finds them. Everything
# started here is stopped on exit.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh build >/dev/null
echo
./build/cli/velorin-update catalogue
echo

# This machine may have no ALSA sequencer: talk MIDI over a JACK server of
# our own (dummy driver, no audio hardware, no realtime privileges).
export VELORIN_MIDI_API=jack
export JACK_NO_START_SERVER=1
export JACK_DEFAULT_SERVER="velorin-demo-$$"
work="$(mktemp -d)"
jack_pid=""
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [ -n "$jack_pid" ]; then kill "$jack_pid" 2>/dev/null || true; wait "$jack_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

JACK_NO_AUDIO_RESERVATION=1 jackd -r -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 \
  >"$work/jackd.log" 2>&1 &
jack_pid=$!
for _ in $(seq 1 100); do
  if jack_lsp >/dev/null 2>&1; then break; fi
  if ! kill -0 "$jack_pid" 2>/dev/null; then
    echo "jackd did not start:" >&2
    cat "$work/jackd.log" >&2
    exit 1
  fi
  sleep 0.1
done

# Four port pairs: a Kesmet on its own USB ports; a Brenno and an Ulmara
# chained behind one MIDI interface; a corVel behind a foreign interface (it
# gets a stand-in serial number and cannot be updated that way); a Dorvik
# left in its boot code, which it shares with the Pallamo.
pedals=(
  --pedal "type=Kesmet version=1.25 esn=10111213141516"
  --pedal "type=Brenno version=2.01 esn=20212223242526 port=\"MIDI Thru Box\""
  --pedal "type=Ulmara version=1.07b esn=30313233343536 port=\"MIDI Thru Box\""
  --pedal "type=corVel version=1.05 esn=40414243444546 port=\"USB MIDI Interface\""
  --pedal "type=Dorvik mode=boot version=3.10 esn=50515253545556"
)
./build/tools/pedal-sim/velorin-pedal-sim "${pedals[@]}" </dev/null >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 1 100); do
  if [ "$(grep -c '"event":"ready"' "$work/sim.out" 2>/dev/null || true)" -ge 4 ]; then break; fi
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "the pedal simulator did not start:" >&2
    cat "$work/sim.err" >&2
    exit 1
  fi
  sleep 0.1
done

echo "Simulated pedals on JACK server $JACK_DEFAULT_SERVER:"
sed 's/^/  /' "$work/sim.out"
echo
echo "\$ velorin-update list"
./build/cli/velorin-update list --timeout 20
echo
echo "\$ velorin-update list --json"
./build/cli/velorin-update list --json --timeout 20

# ---- A whole update -----------------------------------------------------------
# The Kesmet above (a pedal that is switched to its boot code for programming)
# and a Quenda started here (family 0x12: the boot-control protocol) get
# synthetic firmware; each update shows its progress, then the pedals are
# listed again with their new versions.
quenda_esn=60616263646566
./build/tools/pedal-sim/velorin-pedal-sim --pedal "type=Quenda version=1.10 esn=$quenda_esn" \
  </dev/null >"$work/sim2.out" 2>"$work/sim2.err" &
sim2_pid=$!
cleanup_update() {
  kill "$sim2_pid" 2>/dev/null || true
  wait "$sim2_pid" 2>/dev/null || true
  cleanup
}
trap cleanup_update EXIT
for _ in $(seq 1 100); do
  if grep -q '"event":"ready"' "$work/sim2.out" 2>/dev/null; then break; fi
  sleep 0.1
done

echo
echo "\$ velorin-fwtool --type Kesmet --version 1.30 --blocks 60"
./build/tools/pedal-sim/velorin-fwtool --type Kesmet --version 1.30 --blocks 60 --out "$work"
echo "\$ velorin-fwtool --type Quenda --version 1.20 --blocks 60"
./build/tools/pedal-sim/velorin-fwtool --type Quenda --version 1.20 --blocks 60 --out "$work"
echo
echo "\$ velorin-update install --esn 10111213141516 Kesmet_0130_fwu.syx"
./build/cli/velorin-update install --esn 10111213141516 "$work/Kesmet_0130_fwu.syx"
echo
echo "\$ velorin-update install --esn $quenda_esn Quenda_0120_fwu.syx"
./build/cli/velorin-update install --esn "$quenda_esn" "$work/Quenda_0120_fwu.syx"
echo
echo "\$ velorin-update list"
./build/cli/velorin-update list --timeout 20
