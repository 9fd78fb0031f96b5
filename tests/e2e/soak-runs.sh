#!/bin/bash
# Runs the end-to-end suite again and again where the kernel sequencer is
# (scripts/soak.sh calls it, in the sequencer VM or natively), on each build,
# and prints one line per run: passed, or the tests that failed.
#
#   tests/e2e/soak-runs.sh RESULTS_DIR
#
# SOAK_RUNS    runs of the whole suite per build (default 5)
# SOAK_BUILDS  of "plain" (build/) and "sanitize" (build/sanitize/)
#              (default: both)
# SOAK_TESTS   a ctest regular expression to run only some binaries
set -uo pipefail
cd "$(dirname "$0")/../.."
results=$1
mkdir -p "$results"
runs=${SOAK_RUNS:-5}
declare -A clean
# What the suite starts, by process name (cut to 15 characters by the
# kernel: valgrind's memcheck-amd64-linux shows as memcheck-amd64-).
suite_programs=(velkin_bridge dornel_bridge jackd pipewire jack_midi_dump jack_midiseq aseqdump
  aplaymidi memcheck-amd64-)

for run in $(seq 1 "$runs"); do
  for build in ${SOAK_BUILDS:-plain sanitize}; do
    dir=build
    [ "$build" = sanitize ] && dir=build/sanitize
    log=$results/$build-run-$run.txt
    start=$(date +%s)
    ctest --test-dir "$dir" -L e2e ${SOAK_TESTS:+-R "$SOAK_TESTS"} --output-on-failure >"$log" 2>&1
    status=$?
    took=$(($(date +%s) - start))
    # Nothing the suite starts may outlive it: a leftover bridge or server
    # would meet the next run's clients under the same names.
    # (One name per pgrep: with a pattern longer than a process name can be,
    # pgrep warns whenever nothing matches.)
    leftovers=$(for name in "${suite_programs[@]}"; do pgrep -a -x "$name"; done)
    if [ -n "$leftovers" ]; then
      echo "run $run, $build build: left running, now killed:"
      sed 's/^/    /' <<<"$leftovers"
      for name in "${suite_programs[@]}"; do pkill -KILL -x "$name"; done
      status=1
    fi
    if [ "$status" -eq 0 ]; then
      clean[$build]=$((${clean[$build]:-0} + 1))
      echo "run $run, $build build: passed ($(grep -o '[0-9]* tests failed out of [0-9]*' "$log" | head -n 1 || true), $took s)"
    else
      echo "run $run, $build build: FAILED ($took s):"
      # The binaries that failed, and the test cases within them.
      sed -n '/The following tests FAILED/,$p' "$log" | grep -E '^\s+[0-9]+ - ' | sed 's/^ */    /'
      grep -E '^\[  FAILED  \] [A-Za-z]' "$log" | grep -v ' listed below' | sort -u | sed 's/^/    /'
    fi
  done
done
all_clean=0
for build in ${SOAK_BUILDS:-plain sanitize}; do
  echo "$build build: ${clean[$build]:-0} of $runs runs clean"
  [ "${clean[$build]:-0}" -eq "$runs" ] || all_clean=1
done
exit "$all_clean"
