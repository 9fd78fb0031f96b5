#!/bin/bash
# The stop stress: JACK servers stopped (SIGTERM), killed (SIGKILL) and frozen
# (SIGSTOP) again and again under both bridges while MIDI streams through
# them, several lanes side by side, on the plain and the sanitizer build, in
# one boot of the sequencer VM (or natively where /dev/snd/seq exists). Every
# bridge must end; one that hangs has every thread's backtrace printed.
# Prints how each bridge ended: stops, hangs, stop times. The raw lines are in
# build/stress-results/. See tests/stress/run-lanes.sh for the settings
# (STRESS_LANES, STRESS_STOPS, STRESS_MODES, STRESS_BUILDS, ...).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh >/dev/null

out=$PWD/build/stress-results
rm -rf "$out"
settings=""
for v in STRESS_BUILDS STRESS_LANES STRESS_STOPS STRESS_MODES STRESS_VELKIN STRESS_DORNEL STRESS_WIDEN_MS; do
  [ -n "${!v:-}" ] && settings+="$v='${!v}' "
done
run="${settings}tests/stress/run-lanes.sh $out"
if [ -c /dev/snd/seq ]; then
  sh -c "$run"
else
  VM_TIMEOUT=${VM_TIMEOUT:-36000} tests/vm/run-in-vm.sh "$run"
fi
