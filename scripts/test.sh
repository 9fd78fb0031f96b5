#!/bin/bash
# Installs what is missing, builds, and runs every test: the host tests here,
# the end-to-end suite against the real kernel sequencer and a real JACK
# server (natively where /dev/snd/seq exists, else in the sequencer VM; the
# JACK-side tests on jackd2 and on PipeWire's JACK, the raw-device tests on
# the kernel's virtual MIDI card), all of it again on a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, a short run of each fuzz
# target, and (as root) the Debian package installed, used and removed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh

echo "== host tests"
ctest --test-dir build -LE e2e --output-on-failure
echo "== host tests, sanitizer build"
ctest --test-dir build/sanitize -L jack --output-on-failure

echo "== end-to-end tests (jackd2, then PipeWire's JACK), then again on the sanitizer build"
virtual_midi_card="snd-rawmidi snd-seq-midi-event snd-seq-virmidi snd-virmidi"
suite='ctest --test-dir build -L e2e --output-on-failure && ctest --test-dir build/sanitize -L e2e --output-on-failure'
if [ -c /dev/snd/seq ]; then
  sh -c "$suite"
else
  # The virtual raw MIDI card gives the raw-device tests their devices.
  # Both builds run here, about 15 minutes under emulation; the bound is for
  # a guest that hangs, with room for a slower machine.
  VM_EXTRA_MODULES="$virtual_midi_card" VM_TIMEOUT=${VM_TIMEOUT:-3600} tests/vm/run-in-vm.sh "$suite"
fi

echo "== fuzzing, a short run of each target (scripts/fuzz.sh runs them long)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DFUZZ=ON >/dev/null
cmake --build build/fuzz -j"$(nproc)"
ctest --test-dir build/fuzz -L fuzz --output-on-failure

echo "== Debian package"
if [ "$(id -u)" -eq 0 ]; then
  tests/package/test-package.sh
else
  echo "skipped: installing the package needs root"
fi
