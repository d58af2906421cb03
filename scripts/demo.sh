#!/usr/bin/env bash
# Builds the driver and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target KVT5100 ecrsim
build/KVT5100 /H1
