#!/usr/bin/env bash
# Builds everything in build/ and shows the driver at work against the simulated register:
# sends the sample PLU table (command 200), reads it back (207) and reads the financial report (232),
# in a temporary directory that is kept afterwards so its files can be looked at.
set -euo pipefail
cd "$(dirname "$0")/.."

# The build also configures the tests, so GoogleTest is needed too.
scripts/ensure-tools.sh

cmake -S . -B build
cmake --build build -j2

work=$(mktemp -d "${TMPDIR:-/tmp}/kvt5100-demo.XXXXXX")
sim_pid=""
stop_simulator() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
        sim_pid=""
    fi
}
trap stop_simulator EXIT

# The simulator makes ecr.tty a link to its pseudo-terminal and keeps its state between the runs.
build/ecrsim --link "$work/ecr.tty" --log "$work/ecrsim.log" >"$work/ecrsim.out" &
sim_pid=$!
for _ in $(seq 100); do
    [ -L "$work/ecr.tty" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if [ ! -L "$work/ecr.tty" ]; then
    echo "demo: the simulated register did not start" >&2
    cat "$work/ecrsim.out" >&2
    exit 1
fi

# The driver reads KVT5100.ini beside its program file and writes its logs in the working directory.
cp build/KVT5100 "$work/"
cp tests/data/demo/plu.txt "$work/"
printf '%s\r\n' \
    '[Common]' 'StandardLog = 1' 'DbgErrorLog = 1' 'Delimiter = ,' '' \
    '[ECR_1]' "ComDevice = $work/ecr.tty" \
    'ComNakSleepTime = 50' 'ComGarbageSleepTime = 50' 'SleepBetweenCommands = 50' \
    'EcrOperationMaxTime = 1000' 'EcrRecoveryTime = 200' 'GarbageMaxByteInterval = 20' \
    >"$work/KVT5100.ini"

run_driver() {
    echo "===== KVT5100 $* ====="
    local status=0
    (cd "$work" && ./KVT5100 "$@") || status=$?
    echo
    if [ "$status" -ne 0 ]; then
        echo "demo: 'KVT5100 $*' ended with exit code $status; files are in $work" >&2
        exit "$status"
    fi
}

run_driver 200 plu.txt
run_driver 207 table.txt
run_driver 232 financial.txt
stop_simulator

for file in plu.txt table.txt financial.txt KVT5100.log; do
    echo "===== $file ====="
    tr -d '\r' <"$work/$file"
    echo
done
echo "The demo's files are in $work"
