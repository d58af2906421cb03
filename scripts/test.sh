#!/usr/bin/env bash
# Builds the driver, the simulated ECR and the tests in build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-tools.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
