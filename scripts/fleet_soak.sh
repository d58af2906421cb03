#!/usr/bin/env bash
# Fleet soak: RUNS kvtfleet end-of-day jobs (default 20) of the sanitizer
# build over several ecrsim --chaos registers, seeds SEED, SEED+1, ...
# (default 1). Replay one run alone with: scripts/fleet_soak.sh 1 <seed>
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-20}
SEED=${2:-1}

scripts/ensure-tools.sh
command -v python3 >/dev/null 2>&1 || scripts/apt-install.sh python3
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKVT_SANITIZE=ON >/dev/null
cmake --build build-asan -j2 --target KVT5100 ecrsim kvtfleet >/dev/null
exec python3 scripts/fleet_soak.py build-asan "$RUNS" "$SEED"
