#!/bin/bash
# Benchmarks both bridges and prints the figures: the per-event cost of each
# bridge's halves on this machine (Google Benchmark timings and callgrind
# instruction counts), then latency, bursts, round trip and CPU against the
# real kernel sequencer and a real JACK server (natively where /dev/snd/seq
# exists, else in the sequencer VM). Everything it prints, the raw latency
# samples (CSV) and a plot (latency.png) end up in build/bench-results.
#
# BENCH_PERIODS       JACK period sizes to measure (default "256 1024")
# BENCH_ROUND_TRIPS   messages jack_midi_latency_test sends (default 1024)
# BENCH_VELKIN_BRIDGE, BENCH_DORNEL_BRIDGE  other builds of the bridges to
#                     measure (an older one, to compare)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"

out=$PWD/build/bench-results
rm -rf "$out"
mkdir -p "$out"
bench=build/tests/bench

{
  echo "== Per-event cost on this machine (no sequencer, no JACK server)"
  "$bench/velkin_event_cost" --benchmark_min_time=1 --benchmark_format=console 2>/dev/null
  "$bench/dornel_event_cost" --benchmark_min_time=1 --benchmark_format=console 2>/dev/null
  echo
  echo "Instructions per event under callgrind, 10,000 note-ons (the same from run to run):"
  echo
  printf '%-14s %-38s %12s\n' program stage "instr./event"
  for row in "velkin_event_cost velkin_bridge read_sequencer_events intake:_decode_and_ring_write" \
             "velkin_event_cost velkin_bridge process_cycle process_cycle:_ring_to_port" \
             "dornel_event_cost dornel_bridge process_cycle process_cycle:_port_to_ring" \
             "dornel_event_cost dornel_bridge forward_record forward_record:_ring_read_and_encode"; do
    set -- $row
    collected=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null --collect-atstart=no \
      "--toggle-collect=$3*" "$bench/$1" --workload 2>&1 | sed -n 's/.*Collected : *//p')
    printf '%-14s %-38s %12s\n' "$2" "${4//_/ }" "$((collected / 10000))"
  done
} | tee "$out/host.txt"

echo
echo "== Both bridges against the kernel sequencer and a JACK server"
run="BENCH_PERIODS='${BENCH_PERIODS:-256 1024}' BENCH_ROUND_TRIPS='${BENCH_ROUND_TRIPS:-1024}'"
run+=" BENCH_VELKIN_BRIDGE='${BENCH_VELKIN_BRIDGE:-}' BENCH_DORNEL_BRIDGE='${BENCH_DORNEL_BRIDGE:-}'"
run+=" $PWD/$bench/bridges_bench $out"
# Then the round trip beside jackd2's raw MIDI driver and PipeWire's JACK,
# with the kernel's virtual MIDI card for the raw driver's devices.
run+=" && BENCH_PERIODS='${BENCH_PERIODS:-256 1024}' BENCH_ROUND_TRIPS='${BENCH_ROUND_TRIPS:-1024}'"
run+=" $PWD/$bench/round_trip_bench $out"
if [ -c /dev/snd/seq ]; then
  sh -c "$run"
else
  echo "(in the sequencer VM: QEMU's software emulation, so times and CPU figures are"
  echo " only comparable within one run; frame counts, capacities and losses hold)"
  VM_EXTRA_MODULES="snd-rawmidi snd-seq-midi-event snd-seq-virmidi snd-virmidi" \
    tests/vm/run-in-vm.sh "$run" 2>&1 |
    grep -v -e '^run-in-vm:' -e '^vm-init:' -e '^period [0-9]*:' -e 'spa.dbus' -e 'mod.portal'
fi | tee "$out/report.txt"

(cd "$out" && gnuplot latency.gp && gnuplot round_trips.gp)
echo
echo "Written: $out/report.txt, host.txt, latency.csv, latency.png, round_trips.csv, round_trips.png"
