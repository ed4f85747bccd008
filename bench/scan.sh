#!/usr/bin/env bash
# How fast `orbtray list` shows a large Data folder: 20,000 .csv files in 200 serial folders, with
# sizes and times of every kind, listed newest first. Baseline: find printing the same four
# fields for the same files, piped through sort -rn, on the same tree. Both run with a warm cache
# and take turns; the best run of each counts.
#
#   bench/scan.sh          (FOLDERS=200 FILES_PER_FOLDER=100 RUNS=7 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
folders=${FOLDERS:-200}
per_folder=${FILES_PER_FOLDER:-100}
runs=${RUNS:-7}
target=1.5 # at most, orbtray's time over find's

if [[ -z ${ORBTRAY_BUILD_DIR:-} ]]; then
    (cd "$repo" && cmake --preset linux-release &&
        cmake --build --preset linux-release --target orbtray) >/dev/null
fi
[[ -x $orbtray ]] || { echo "bench: orbtray missing in $build" >&2; exit 1; }

# The tree, shared with bench/scan-wine.sh: store-named files of every size and age, with an
# encoded serial, a .tmp still arriving and an upper-case .CSV among them.
data=$work/Data
perl "$repo/bench/scan-tree.pl" "$data" "$folders" "$per_folder"
files=$((folders * per_folder))

# Seconds, four decimals, taken by the command in the arguments (its output discarded). Bash's
# own clock, read without starting a process; its decimal mark follows the locale, so it is
# dropped to count microseconds.
timed() {
    local start end
    start=${EPOCHREALTIME//[.,]/}
    "$@" >/dev/null
    end=${EPOCHREALTIME//[.,]/}
    calc "%.4f" "(b - a) / 1e6" -v a="$start" -v b="$end"
}
find_sorted() {
    find "$data" -mindepth 2 -maxdepth 2 -name '*.csv' -printf '%T@\t%h\t%f\t%s\n' | sort -rn
}
orbtray_list() { "$orbtray" list --data-folder "$data"; }

# Both see every file before anything is timed, and the listing is the one expected: all files
# but the .tmp, the newest first.
listed=$(orbtray_list | wc -l)
[[ $listed -eq $files ]] || { echo "bench: orbtray listed $listed of $files files" >&2; exit 1; }
newest=$(find_sorted | sed -n 1p | cut -f3)
[[ $(orbtray_list | sed -n 1p | cut -f3) == "$newest" ]] ||
    { echo "bench: orbtray's first row is not $newest" >&2; exit 1; }

find_times=()
orbtray_times=()
for ((run = 1; run <= runs; run++)); do
    seconds=$(timed find_sorted)
    echo "find | sort   run $run: $seconds s"
    find_times+=("$seconds")
    seconds=$(timed orbtray_list)
    echo "orbtray list  run $run: $seconds s"
    orbtray_times+=("$seconds")
done
find_best=$(best "${find_times[@]}")
orbtray_best=$(best "${orbtray_times[@]}")

echo
echo "Data folder: $files .csv files in $folders serial folders (best of $runs runs, warm cache)"
echo "baseline find | sort -rn: $find_best s (median $(median "${find_times[@]}") s)"
echo "orbtray list:             $orbtray_best s (median $(median "${orbtray_times[@]}") s)"
ratio=$(calc "%.2f" "o / f" -v o="$orbtray_best" -v f="$find_best")
echo "ratio orbtray/find: $ratio (target <= $target)"

# ---- Wine hook -------------------------------------------------------------------------------
# The File Transfers window's refresh under Wine is measured by bench/scan-wine.sh, when present,
# on a folder of the same shape; ORBTRAY_SCAN_DATA names this one should it want to reuse it.
wine_bench=$repo/bench/scan-wine.sh
if [[ -f $wine_bench ]]; then
    echo
    echo "== bench/scan-wine.sh =="
    ORBTRAY_SCAN_DATA=$data bash "$wine_bench"
fi
