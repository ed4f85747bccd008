#!/usr/bin/env bash
# The tests that wait on timing, run again and again beside two busy loops, as on a loaded CI
# machine with 2 cores: every run must pass. Prints, per preset and test, the runs passed.
#
#   bench/tests-under-load.sh                       (RUNS=20, PRESETS="linux linux-asan linux-tsan",
#                                                    TESTS="link|serial|integration")
# The presets must have been built (scripts/test-all.sh or cmake --build --preset P).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${RUNS:-20}
presets=(${PRESETS:-linux linux-asan linux-tsan})
tests=${TESTS:-link|serial|integration}

busy=()
cleanup() { ((${#busy[@]})) && kill "${busy[@]}" 2>/dev/null; true; }
trap cleanup EXIT
for _ in 1 2; do
    (while :; do :; done) &
    busy+=($!)
done

failed=0
cd "$repo"
for preset in "${presets[@]}"; do
    # One ctest entry after another, so a failure names its entry; each repeated until it fails.
    mapfile -t entries < <(ctest --preset "$preset" -N -R "$tests" | awk '/Test +#/ { print $3 }')
    for entry in "${entries[@]}"; do
        log=$(mktemp)
        if ctest --preset "$preset" -R "^${entry}\$" --repeat "until-fail:$runs" >"$log" 2>&1; then
            echo "$preset $entry: $runs of $runs runs passed under load"
        else
            failed=1
            echo "$preset $entry: FAILED under load; its output:"
            tail -40 "$log"
        fi
        rm -f "$log"
    done
done
exit "$failed"
