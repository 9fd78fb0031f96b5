#!/bin/bash
# The main job: installs what is missing, builds, and plays a short tune
# through both bridges, natively where /dev/snd/seq exists, else in the
# sequencer VM.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

if [ -c /dev/snd/seq ]; then
  demo/run-demo.sh build
else
  tests/vm/run-in-vm.sh 'demo/run-demo.sh build'
fi
