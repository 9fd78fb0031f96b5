#!/bin/bash
# The demo, run where the kernel sequencer is: plays a short tune through both
# bridges and shows every message on its way.
#
#   sequencer client (aplaymidi) --> velkin_bridge --> JACK --> dornel_bridge
#       --> sequencer client (aseqdump)
#
#   demo/run-demo.sh [build-dir]
#
# VELKIN_BRIDGE and DORNEL_BRIDGE name other programs to run (installed ones,
# say) instead of those of the build.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
velkin=${VELKIN_BRIDGE:-$build/velkin_bridge/velkin_bridge}
dornel=${DORNEL_BRIDGE:-$build/dornel_bridge/dornel_bridge}
tune=$build/demo/tune.mid

# A private JACK server, so the demo never disturbs one that is running.
export JACK_DEFAULT_SERVER=bridges_demo JACK_NO_START_SERVER=1
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
fail() { echo "demo: $*" >&2; exit 1; }
# Polls a command until it succeeds, for at most 30 s.
wait_for() {
  for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

step "Starting a JACK server (dummy driver: 48000 Hz, 1024 frames a period)"
jackd -n bridges_demo --no-realtime -d dummy -r 48000 -p 1024 >"$work/jackd.log" 2>&1 &
pids+=($!)
jack_wait -w -t 30 >/dev/null 2>&1 || fail "the JACK server did not start: $(cat "$work/jackd.log")"
echo "JACK server running."

step "Starting the two bridges: $velkin and $dornel"
"$velkin" >"$work/velkin.log" 2>&1 &
velkin_pid=$!
pids+=($velkin_pid)
"$dornel" >"$work/dornel.log" 2>&1 &
dornel_pid=$!
pids+=($dornel_pid)
wait_for jack_connect velkin_bridge:capture dornel_bridge:playback ||
  fail "the bridges did not come up: $(cat "$work/velkin.log" "$work/dornel.log")"
echo "Sequencer clients (aconnect -l):"
aconnect -l | grep -A1 -E "'(velkin|dornel)_bridge'" | sed 's/^/    /'
echo "JACK ports (jack_lsp):"
jack_lsp | grep -E '^(velkin|dornel)_bridge:' | sed 's/^/    /'
echo "Connected in JACK: velkin_bridge:capture -> dornel_bridge:playback"

step "Listening on both sides"
stdbuf -oL jack_midi_dump >"$work/jack.txt" 2>&1 &
pids+=($!)
wait_for jack_connect velkin_bridge:capture midi-monitor:input ||
  fail "jack_midi_dump did not come up"
echo "jack_midi_dump listens to velkin_bridge:capture (JACK)."
stdbuf -oL aseqdump -p dornel_bridge:0 >"$work/seq.txt" 2>&1 &
pids+=($!)
wait_for grep -q Source "$work/seq.txt" || fail "aseqdump did not come up"
echo "aseqdump listens to dornel_bridge:capture (sequencer)."

step "Playing $(basename "$tune") into velkin_bridge:playback with aplaymidi"
notes=$(( $(od -An -tx1 -v "$tune" | tr ' ' '\n' | grep -c -E '^(80|90)$') ))
aplaymidi -p velkin_bridge:0 "$tune"
# Wait until aseqdump has shown every note-on and note-off of the tune.
if ! wait_for test "$(grep -c -E 'Note (on|off)' "$work/seq.txt")" -ge "$notes"; then
  echo "demo: not every note arrived (see below)" >&2
  aconnect -l >&2
  jack_lsp -c >&2
  for t in /proc/$dornel_pid/task/*; do echo "$t $(cat $t/syscall | cut -d' ' -f1)"; done >&2
fi
arrived=$(grep -c -E 'Note (on|off)' "$work/seq.txt" || true)

step "What left velkin_bridge's JACK port \"capture\" (jack_midi_dump: frame within the period, bytes)"
grep -v -E '^\s*$' "$work/jack.txt" | sed 's/^/    /'

step "What arrived from dornel_bridge's sequencer port \"capture\", client $(aconnect -l | sed -n "s/^client \([0-9]*\): 'dornel_bridge'.*/\1/p") (aseqdump)"
sed 's/^/    /' "$work/seq.txt"

step "Stopping the bridges with SIGTERM"
kill -TERM "$velkin_pid" "$dornel_pid"
wait "$velkin_pid" && echo "velkin_bridge exited with status 0." || fail "velkin_bridge failed"
wait "$dornel_pid" && echo "dornel_bridge exited with status 0." || fail "dornel_bridge failed"
for log in velkin dornel; do
  if [ -s "$work/$log.log" ]; then
    echo "${log}_bridge said:"
    sed 's/^/    /' "$work/$log.log"
  fi
done
echo
echo "The tune went sequencer -> JACK -> sequencer: $notes note messages in, $arrived out."
[ "$arrived" -eq "$notes" ]
