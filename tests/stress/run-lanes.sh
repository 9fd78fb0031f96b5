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
# STRESS_WIDEN_MS  hold the JACK library's notification thread this long in
#                the lock that its jack_client_close needs (see
#                stop_stress.cpp), so that the race behind a close that never
#                returns meets at every server stop (default 0: off)
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
  echo "== $build build: $lanes lanes of $stops server ends ($modes), $velkin and $dornel${STRESS_WIDEN_MS:+, race widened by $STRESS_WIDEN_MS ms}"
  pids=()
  for lane in $(seq 1 "$lanes"); do
    # Each lane in a /dev/shm of its own: there the JACK library keeps its
    # sockets, named after the client alone (two lanes' jack_wait clients
    # would take each other's), and one metadata database per user, which a
    # jackd that ends deletes under the feet of other servers' clients and
    # which every process killed mid-use leaves locks in.
    unshare --mount --propagation private sh -c \
      'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$@"' sh \
      build/tests/stop_stress --lane "$lane" --stops "$stops" --modes "$modes" \
      --velkin "$velkin" --dornel "$dornel" --widen-ms "${STRESS_WIDEN_MS:-0}" \
      >"$results/$build-lane-$lane.txt" 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid"; done

  # The backtraces of every hang and what a bridge that failed wrote, then
  # the figures.
  cat "$results/$build"-lane-*.txt | awk '/^HANG /,/^END HANG/; /^STATUS /,/^END STATUS/'
  # stop: from the stop request (the stop signal, or for velkin_bridge the
  # line that says the JACK server shut down) to the exit; cut: stops of
  # 1.9 s and more, which the 2 s bound ended; from end: from the server's
  # end to the exit.
  cat "$results/$build"-lane-*.txt | awk -v build="$build" '
    function sorted_at(key, q,    c, i, j, x) {
      c = count[key]
      for (i = 1; i <= c; i++) v[i] = times[key, i]
      for (i = 2; i <= c; i++) { x = v[i]; j = i - 1; while (j > 0 && v[j] > x) { v[j + 1] = v[j]; j-- } v[j + 1] = x }
      return c ? v[q < 0 ? c : int(c * q + 0.999)] : "-"
    }
    / (term|kill|freeze): velkin_bridge / {
      mode = $5; sub(":", "", mode)
      line = $0
      while (match(line, /(velkin|dornel)_bridge (HUNG|status [0-9]+ in [0-9]+ ms, stop -?[0-9]+ ms)/)) {
        part = substr(line, RSTART, RLENGTH); line = substr(line, RSTART + RLENGTH)
        split(part, w, " ")
        key = w[1] " " mode
        n[key]++
        if (w[2] == "HUNG") { hung[key]++; continue }
        if (w[3] != 0) nonzero[key]++
        times[key, ++count[key]] = w[8]
        if (w[8] >= 1900) cut[key]++
        if (w[5] > from_end[key]) from_end[key] = w[5]
      }
    }
    / not started: / { failed++ }
    END {
      printf "%-9s %-14s %-6s %6s %5s %8s %5s %11s %9s %9s %12s\n", "build", "bridge", "end", "stops", "hung", "status!0", "cut", "median stop", "p99 stop", "max stop", "max from end"
      rows = "sort -k2,3"
      for (key in n) {
        split(key, k, " ")
        printf "%-9s %-14s %-6s %6d %5d %8d %5d %11s %9s %9s %12s\n", build, k[1], k[2], n[key], hung[key], nonzero[key], cut[key], \
          sorted_at(key, 0.5), sorted_at(key, 0.99), sorted_at(key, -1), count[key] ? from_end[key] : "-" | rows
      }
      close(rows)
      printf "%s build: %d starts failed (not counted as stops); times in ms\n", build, failed
    }'
done
