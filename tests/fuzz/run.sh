#!/usr/bin/env bash
# Builds every fuzz target with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each for SECONDS (default 30): run.sh [SECONDS] [TARGET...].
# Replays the kept regression inputs first. Prints per target the executions,
# the coverage (cov: edges, ft: features) and the findings, and fails when a
# target finds anything. Installs clang and its runtime from Debian when
# they are missing. Environment: FUZZ_JOBS targets at once (default 1),
# FUZZ_NICE niceness (default 0), FUZZ_DIR outputs (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}
shift || true
root=$PWD
out=${FUZZ_DIR:-$root/build/fuzz}
jobs=${FUZZ_JOBS:-1}
niceness=${FUZZ_NICE:-0}

have_toolchain() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local lib
    lib=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null) || return 1
    [ -f "$lib" ]
}
if ! have_toolchain; then
    echo "fuzz: installing clang and its runtime"
    export DEBIAN_FRONTEND=noninteractive
    (apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev llvm >/dev/null) || true
fi
# Without the toolchain (no package source reachable) there is nothing to
# run; that is reported, not failed, like every other optional tool here.
if ! have_toolchain; then
    echo "fuzz: skipped: clang with libFuzzer could not be installed"
    exit 0
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$out/build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_FUZZ=ON \
    -DCMAKE_CXX_FLAGS="$flags" -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
all_targets=()
for src in tests/fuzz/fuzz_*.cpp; do
    name=$(basename "$src" .cpp)
    all_targets+=("${name#fuzz_}")
done
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
if ! nice -n "$niceness" cmake --build "$out/build" -j2 --target "${targets[@]/#/fuzz_}" >"$out/build.log" 2>&1; then
    cat "$out/build.log" >&2
    exit 1
fi

rm -rf "$out/seeds"
python3 tests/fuzz/make_seeds.py "$out/seeds"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# One target: the regressions kept for it, then fuzzing from its seeds and
# the corpus of earlier runs (kept under $out/corpus). Findings of this run
# go to $out/findings/<target>, emptied first: move the ones to keep into
# tests/fuzz/regressions/<target> once fixed.
run_target() {
    local target=$1 bin="$out/build/fuzz_$1" log="$out/logs/$1.log"
    local corpus="$out/corpus/$1" findings="$out/findings/$1" kept="tests/fuzz/regressions/$1"
    rm -rf "$findings"
    mkdir -p "$corpus" "$findings" "$out/logs"
    local seeds="$out/seeds/$1"
    [ -d "$seeds" ] || seeds=""
    : >"$log"
    if [ -d "$kept" ] && [ -n "$(ls -A "$kept")" ]; then
        if ! nice -n "$niceness" "$bin" "$kept"/* >>"$log" 2>&1; then
            echo "FAIL replaying $kept" >>"$log"
            return 1
        fi
    fi
    nice -n "$niceness" "$bin" -max_total_time="$seconds" -max_len=65536 -timeout=25 -rss_limit_mb=2048 \
        -dict=tests/fuzz/tokens.dict -artifact_prefix="$findings/" -print_final_stats=1 \
        "$corpus" $seeds >>"$log" 2>&1
}

summary() {
    local target=$1 log="$out/logs/$1.log" status=$2
    local execs cov ft units found
    execs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
    units=$(find "$out/corpus/$target" -type f | wc -l)
    found=$(find "$out/findings/$target" -type f | wc -l)
    printf '%-10s %10s execs  cov %6s  ft %6s  corpus %6s  findings %s  %s\n' \
        "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$units" "$found" "$status"
}

echo "fuzz: ${#targets[@]} targets, ${seconds}s each, $jobs at a time"
start=$(date +%s)
declare -A status
pending=("${targets[@]}")
while [ ${#pending[@]} -gt 0 ]; do
    batch=("${pending[@]:0:$jobs}")
    pending=("${pending[@]:$jobs}")
    declare -A pids=()
    for t in "${batch[@]}"; do
        run_target "$t" &
        pids[$t]=$!
    done
    for t in "${batch[@]}"; do
        if wait "${pids[$t]}"; then status[$t]=ok; else status[$t]=FAILED; fi
    done
done
failed=0
for t in "${targets[@]}"; do
    summary "$t" "${status[$t]}"
    if [ "${status[$t]}" != ok ] || [ -n "$(ls -A "$out/findings/$t")" ]; then
        failed=1
        echo "---- $t: see $out/logs/$t.log and $out/findings/$t"
        grep -m5 -E 'ERROR|fuzz check failed|runtime error|SUMMARY' "$out/logs/$t.log" || true
    fi
done
echo "fuzz: $(( $(date +%s) - start ))s wall"
exit $failed
