#!/bin/bash
# The soak: the whole end-to-end suite run again and again (SOAK_RUNS times,
# default 5) on the plain and the sanitizer build, in one boot of the
# sequencer VM (or natively where /dev/snd/seq exists). Prints each run's
# result and the tests that failed; the full logs are in build/soak-results/.
# See tests/e2e/soak-runs.sh for the settings.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh >/dev/null

out=$PWD/build/soak-results
rm -rf "$out"
settings=""
for v in SOAK_RUNS SOAK_BUILDS SOAK_TESTS FLOOD_SECONDS; do
  [ -n "${!v:-}" ] && settings+="$v='${!v}' "
done
run="${settings}tests/e2e/soak-runs.sh $out"
if [ -c /dev/snd/seq ]; then
  sh -c "$run"
else
  VM_EXTRA_MODULES="snd-rawmidi snd-seq-midi-event snd-seq-virmidi snd-virmidi" \
    VM_TIMEOUT=${VM_TIMEOUT:-86400} tests/vm/run-in-vm.sh "$run"
fi
