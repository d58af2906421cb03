#!/usr/bin/env bash
# Builds the driver, the simulated ECR, kvtfleet and the benchmark in build-bench
# (Release) and runs the benchmark; arguments go to kvtbench.
# It prints figures and never fails on them: see docs/bench.md.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKVT_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j2 --target kvtbench KVT5100 ecrsim kvtfleet
build-bench/kvtbench "$@"
