#!/usr/bin/env bash
# The session fuzzer, run for a fixed time on a copy of the seed corpus. Figures: inputs run,
# inputs per second (of wall time, and of CPU time, which a busy machine disturbs less), edges
# covered and findings (crash, leak, timeout and out-of-memory artifacts), against the old
# fuzzer's rate over a real scratch Data folder.
#
#   bench/fuzz.sh                    (FUZZ_SECONDS=600 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${FUZZ_SECONDS:-600}
# Inputs per second of the fuzzer that created, flushed and renamed real files (tmpfs scratch).
baseline=1700

fuzz_build=$repo/build/fuzz
fuzzer=$fuzz_build/tests/fuzz/orbtray_session_fuzzer
(cd "$repo" && cmake --preset fuzz && cmake --build --preset fuzz --target orbtray_session_fuzzer) \
    >/dev/null
[[ -x $fuzzer ]] || { echo "bench: $fuzzer missing" >&2; exit 1; }

# libFuzzer adds to its corpus directory and may delete from it: it gets a copy.
mkdir -p "$work/corpus" "$work/artifacts"
cp "$repo"/tests/fuzz/corpus/* "$work/corpus/"

status=0
TIMEFORMAT='%U %S'
{ time "$fuzzer" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 -timeout=30 \
    -print_final_stats=1 -dict="$repo/tests/fuzz/session.dict" \
    -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?; } \
    2>"$work/cpu"
read -r user sys <"$work/cpu"

stat_of() { awk -v key="stat::$1:" '$1 == key { print $2 }' "$work/fuzz.log"; }
runs=$(stat_of number_of_executed_units)
per_second=$(stat_of average_exec_per_sec)
edges=$(grep -oE ' cov: [0-9]+' "$work/fuzz.log" | tail -1 | awk '{ print $2 }')
findings=$(find "$work/artifacts" -type f \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
if ((findings > 0 || status != 0)); then
    # The scratch space goes at exit; what was found is kept with the build.
    mkdir -p "$fuzz_build/tests/fuzz/artifacts"
    cp "$work"/artifacts/* "$fuzz_build/tests/fuzz/artifacts/" 2>/dev/null || true
    grep -E '^(==[0-9]+==ERROR|\*\*\* session fuzzer|SUMMARY)' "$work/fuzz.log" >&2 || true
    echo "bench: the fuzzer stopped with status $status; artifacts in" \
        "$fuzz_build/tests/fuzz/artifacts/" >&2
fi
if [[ -z $runs || -z $per_second || -z $edges ]]; then
    echo "bench: no final statistics from the fuzzer ($findings findings)" >&2
    tail -20 "$work/fuzz.log" >&2
    exit 1
fi

echo "fuzzed for $seconds s (the fuzz preset: ASan, UBSan, libFuzzer)"
echo "inputs run:         $runs"
echo "inputs per second:  $per_second ($(calc "%.0f" "r / (u + s)" -v r="$runs" -v u="$user" \
    -v s="$sys") per CPU second)"
echo "edges covered:      $edges"
echo "findings:           $findings"
echo "baseline:           about $baseline inputs per second (the fuzzer over real files)"
echo "ratio to baseline:  $(calc "%.1f" "p / b" -v p="$per_second" -v b="$baseline")"

((findings == 0 && status == 0))
