#!/bin/bash
# Installs what is missing and builds the plain build (build/) and the one
# with AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize/,
# inside build/, which the sequencer VM may write to). The test, soak and
# stress commands start with it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
cmake -S . -B build/sanitize -DSANITIZE=ON >/dev/null
cmake --build build/sanitize -j"$(nproc)"
