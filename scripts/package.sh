#!/bin/bash
# Builds the Debian package midi-bridges_<version>_amd64.deb in build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
(cd build && cpack -B package >package.log 2>&1) || { cat build/package.log >&2; exit 1; }
ls "$PWD"/build/package/midi-bridges_*.deb
