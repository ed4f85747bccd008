#!/usr/bin/env bash
# The session fuzzer, run for a fixed time on a copy of the seed corpus. Figures: inputs run,
# inputs per second (of wall time, and of CPU time, which a busy machine disturbs less), edges
# covered and findings (crash, leak, timeout and out-of-memory artifacts), against the fuzzer of
# FUZZ_BASELINE_REV, the last one that created, flushed and renamed real files for every input:
# it is built from that revision and run for as long on the same machine, just before.
#
#   bench/fuzz.sh                    (FUZZ_SECONDS=600, FUZZ_BASELINE_REV=606b605 by default;
#                                     FUZZ_BASELINE_REV= skips the baseline run)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${FUZZ_SECONDS:-600}
baseline_rev=${FUZZ_BASELINE_REV-606b605}

fuzz_build=$repo/build/fuzz
fuzzer=$fuzz_build/tests/fuzz/orbtray_session_fuzzer
(cd "$repo" && cmake --preset fuzz && cmake --build --preset fuzz --target orbtray_session_fuzzer) \
    >/dev/null
[[ -x $fuzzer ]] || { echo "bench: $fuzzer missing" >&2; exit 1; }

# libFuzzer adds to its corpus directory and may delete from it: each run gets a copy.
TIMEFORMAT='%U %S'
# Runs fuzzer $1 on the seeds of tree $2 for $seconds, with its log and CPU times under $work/$3.
fuzz() {
    mkdir -p "$work/$3/corpus" "$work/$3/artifacts"
    cp "$2"/tests/fuzz/corpus/* "$work/$3/corpus/"
    { time "$1" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -timeout=30 \
        -print_final_stats=1 -dict="$2/tests/fuzz/session.dict" \
        -artifact_prefix="$work/$3/artifacts/" "$work/$3/corpus" >"$work/$3/fuzz.log" 2>&1; } \
        2>"$work/$3/cpu"
}
stat_of() { awk -v key="stat::$1:" '$1 == key { print $2 }' "$work/$2/fuzz.log"; }

baseline=""
if [[ -n $baseline_rev ]]; then
    # That revision's own preset and seeds; its fuzzer wrote into a scratch folder under TMPDIR,
    # which its tests put on /dev/shm.
    git -C "$repo" worktree add -q --detach "$work/base" "$baseline_rev"
    trap 'git -C "$repo" worktree remove --force "$work/base" >/dev/null 2>&1; cleanup' EXIT
    (cd "$work/base" && cmake --preset fuzz && cmake --build --preset fuzz \
        --target orbtray_session_fuzzer) >/dev/null
    TMPDIR=/dev/shm fuzz "$work/base/build/fuzz/tests/fuzz/orbtray_session_fuzzer" "$work/base" \
        old || true
    baseline=$(stat_of average_exec_per_sec old)
fi

status=0
fuzz "$fuzzer" "$repo" new || status=$?
read -r user sys <"$work/new/cpu"

runs=$(stat_of number_of_executed_units new)
per_second=$(stat_of average_exec_per_sec new)
edges=$(grep -oE ' cov: [0-9]+' "$work/new/fuzz.log" | tail -1 | awk '{ print $2 }')
findings=$(find "$work/new/artifacts" -type f \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
if ((findings > 0 || status != 0)); then
    # The scratch space goes at exit; what was found is kept with the build.
    mkdir -p "$fuzz_build/tests/fuzz/artifacts"
    cp "$work"/new/artifacts/* "$fuzz_build/tests/fuzz/artifacts/" 2>/dev/null || true
    grep -E '^(==[0-9]+==ERROR|\*\*\* session fuzzer|SUMMARY)' "$work/new/fuzz.log" >&2 || true
    echo "bench: the fuzzer stopped with status $status; artifacts in" \
        "$fuzz_build/tests/fuzz/artifacts/" >&2
fi
if [[ -z $runs || -z $per_second || -z $edges ]]; then
    echo "bench: no final statistics from the fuzzer ($findings findings)" >&2
    tail -20 "$work/new/fuzz.log" >&2
    exit 1
fi

echo "fuzzed for $seconds s (the fuzz preset: ASan, UBSan, libFuzzer)"
echo "inputs run:         $runs"
echo "inputs per second:  $per_second ($(calc "%.0f" "r / (u + s)" -v r="$runs" -v u="$user" \
    -v s="$sys") per CPU second)"
echo "edges covered:      $edges"
echo "findings:           $findings"
if [[ -n $baseline ]]; then
    echo "baseline:           $baseline inputs per second (the fuzzer of $baseline_rev, over real" \
        "files, run for as long just before)"
    echo "ratio to baseline:  $(calc "%.1f" "p / b" -v p="$per_second" -v b="$baseline") (target >= 10)"
fi

((findings == 0 && status == 0))
