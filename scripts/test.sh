#!/bin/bash
# Installs what is missing, builds, and runs every test: the host tests here,
# the end-to-end suite against the real kernel sequencer and a real JACK
# server, natively where /dev/snd/seq exists, else in the sequencer VM, and
# (as root) the Debian package installed, used and removed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"

echo "== host tests"
ctest --test-dir build -LE e2e --output-on-failure

echo "== end-to-end tests"
if [ -c /dev/snd/seq ]; then
  ctest --test-dir build -L e2e --output-on-failure
else
  tests/vm/run-in-vm.sh 'ctest --test-dir build -L e2e --output-on-failure'
fi

echo "== Debian package"
if [ "$(id -u)" -eq 0 ]; then
  tests/package/test-package.sh
else
  echo "skipped: installing the package needs root"
fi
