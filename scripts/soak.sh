#!/usr/bin/env bash
# Random fault soak: RUNS runs (default 100) of the sanitizer build of the
# driver against ecrsim --chaos, seeds SEED, SEED+1, ... (default 1).
# Replay one run alone with: scripts/soak.sh 1 <seed>
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-100}
SEED=${2:-1}

scripts/ensure-tools.sh
command -v python3 >/dev/null 2>&1 || scripts/apt-install.sh python3
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKVT_SANITIZE=ON >/dev/null
cmake --build build-asan -j2 --target KVT5100 ecrsim >/dev/null
exec python3 scripts/soak.py build-asan "$RUNS" "$SEED"
