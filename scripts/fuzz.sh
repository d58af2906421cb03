#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each one on its seed corpus for a
# bounded time. Fails when a target finds a crash, a sanitizer report, a
# broken check, a leak or a hang.
#
#   scripts/fuzz.sh [target...]     (default: every fuzz/fuzz_*.cpp)
#
# Environment: FUZZ_TIME seconds per target (default 20), FUZZ_JOBS build
# jobs (default 2), FUZZ_BUILD_DIR (default build-fuzz), FUZZ_SEED the
# fuzzers' random seed (default 1, so that a test run repeats the same
# inputs; 0 draws a new seed each run, for hunting by hand).
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_TIME=${FUZZ_TIME:-20}
FUZZ_JOBS=${FUZZ_JOBS:-2}
FUZZ_SEED=${FUZZ_SEED:-1}
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}

apt_install() { "$(dirname "$0")/apt-install.sh" "$@"; }

# True when clang++ can link a libFuzzer program with both sanitizers.
fuzzer_runtime_works() {
    local probe
    probe=$(mktemp -d)
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        > "$probe/probe.cpp"
    local ok=0
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null || ok=1
    rm -rf "$probe"
    return $ok
}

if ! command -v clang++ >/dev/null 2>&1; then
    echo "== Installing clang"
    apt_install clang
fi
if ! fuzzer_runtime_works; then
    major=$(clang++ -dumpversion | cut -d. -f1)
    echo "== Installing the clang runtime (libclang-rt-$major-dev)"
    apt_install "libclang-rt-$major-dev"
    fuzzer_runtime_works || { echo "fuzz.sh: clang cannot link libFuzzer programs" >&2; exit 1; }
fi

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

echo "== Building ${targets[*]}"
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKVT_BUILD_FUZZERS=ON -DKVT_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$FUZZ_JOBS" --target "${targets[@]}"

# New inputs go to a scratch corpus; the committed seeds are only read.
work="$BUILD_DIR/fuzz-work"
mkdir -p "$work"
failed=()
for target in "${targets[@]}"; do
    seeds="fuzz/corpus/$target"
    [ -d "$seeds" ] || { echo "fuzz.sh: no seed corpus $seeds" >&2; exit 1; }
    mkdir -p "$work/$target"
    log="$work/$target.log"
    echo "== Fuzzing $target for ${FUZZ_TIME}s"
    status=0
    # The outer limit only guards against a fuzzer that stops keeping time.
    timeout --kill-after=10 $((FUZZ_TIME + 120)) \
        "$BUILD_DIR/$target" -max_total_time="$FUZZ_TIME" -seed="$FUZZ_SEED" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/$target-" "$work/$target" "$seeds" \
        >"$log" 2>&1 || status=$?
    grep -E '^stat::number_of_executed_units' "$log" | sed "s/^/   /" || true
    if [ $status -ne 0 ]; then
        echo "!! $target failed (exit $status); the end of $log:"
        tail -n 40 "$log"
        ls "$work/$target-"* 2>/dev/null | sed 's/^/   reproducer: /' || true
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "== Fuzzing FAILED: ${failed[*]}"
    exit 1
fi
echo "== Fuzzing passed: ${targets[*]}"
