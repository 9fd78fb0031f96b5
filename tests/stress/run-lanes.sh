#!/bin/bash
# Runs the stop stress where the kernel sequencer is (scripts/stress.sh calls
# it, in the sequencer VM or natively): for each build, STRESS_LANES lanes of
# stop_stress side by side, then a table of how the bridges ended.
#
#   tests/stress/run-lanes.sh RESULTS_DIR
#
# STRESS_BUILDS  builds to stress, of "plain" (build/) and "sanitize"
#                (build/sanitize/) (default: both)
# STRESS_LANES   lanes side by side (default 4)
# STRESS_STOPS   server ends per lane (default 130)
# STRESS_MODES   how the server ends, in turn (default term,kill,freeze)
# STRESS_VELKIN, STRESS_DORNEL  other bridge programs to stress instead of
#                the build's (an older build, say); with one build only
set -uo pipefail
cd "$(dirname "$0")/../.."
results=$1
lanes=${STRESS_LANES:-4}
stops=${STRESS_STOPS:-130}
modes=${STRESS_MODES:-term,kill,freeze}
mkdir -p "$results"

for build in ${STRESS_BUILDS:-plain sanitize}; do
  dir=build
  [ "$build" = sanitize ] && dir=build/sanitize
  velkin=${STRESS_VELKIN:-$dir/velkin_bridge/velkin_bridge}
  dornel=${STRESS_DORNEL:-$dir/dornel_bridge/dornel_bridge}
  echo "== $build build: $lanes lanes of $stops server ends ($modes), $velkin and $dornel"
  pids=()
  for lane in $(seq 1 "$lanes"); do
    build/tests/stop_stress --lane "$lane" --stops "$stops" --modes "$modes" \
      --velkin "$velkin" --dornel "$dornel" >"$results/$build-lane-$lane.txt" 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid"; done

  # The backtraces of every hang, then the figures.
  cat "$results/$build"-lane-*.txt | awk '/^HANG /,/^END HANG/'
  cat "$results/$build"-lane-*.txt | awk -v build="$build" '
    / (term|kill|freeze): velkin_bridge / {
      mode = $5; sub(":", "", mode)
      line = $0
      while (match(line, /(velkin|dornel)_bridge (HUNG|status [0-9]+ in [0-9]+ ms)/)) {
        part = substr(line, RSTART, RLENGTH); line = substr(line, RSTART + RLENGTH)
        split(part, w, " ")
        key = w[1] " " mode
        n[key]++
        if (w[2] == "HUNG") { hung[key]++; continue }
        if (w[3] != 0) nonzero[key]++
        ms = w[5]; times[key, ++count[key]] = ms
        if (ms >= 1900) slow[key]++
      }
    }
    / not started: / { failed++ }
    END {
      printf "%-9s %-14s %-6s %6s %6s %8s %10s %8s %8s %8s\n", "build", "bridge", "end", "stops", "hung", "status!0", ">=1.9 s", "median", "p99", "max ms"
      for (key in n) {
        c = count[key]
        for (i = 1; i <= c; i++) v[i] = times[key, i]
        # insertion sort: a few hundred values
        for (i = 2; i <= c; i++) { x = v[i]; j = i - 1; while (j > 0 && v[j] > x) { v[j + 1] = v[j]; j-- } v[j + 1] = x }
        split(key, k, " ")
        printf "%-9s %-14s %-6s %6d %6d %8d %10d %8s %8s %8s\n", build, k[1], k[2], n[key], hung[key], nonzero[key], slow[key], \
          c ? v[int((c + 1) / 2)] : "-", c ? v[int(c * 0.99 + 0.999)] : "-", c ? v[c] : "-"
      }
      printf "%s build: %d starts failed (not counted as stops)\n", build, failed
    }'
done
