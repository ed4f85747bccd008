#!/usr/bin/env bash
# 200 instruments deliver at once, each with orbsim as its own process. Figures: readings per
# second over all of them, peak resident memory (VmHWM) and peak thread count of orbtray, next to
# orbtray at rest; every stored file is compared with its source.
#
#   bench/many-instruments.sh        (INSTRUMENTS=200 LINES_EACH=5000 by default)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
instruments=${INSTRUMENTS:-200}
lines_each=${LINES_EACH:-5000}
ensure_release_build

mkdir -p "$work/in" "$work/expected"
awk -v count="$instruments" -v each="$lines_each" -v dir="$work" "
    BEGIN {
        for (i = 0; i < count; i++) {
            sn = sprintf(\"OX%05d\", 20000 + i)
            for (n = 0; n < each; n++) {
                line = $reading_awk
                print line > (dir \"/in/\" sn \".csv\")
                printf \"%s\\r\\n\", line > (dir \"/expected/\" sn \".csv\")
            }
            close(dir \"/in/\" sn \".csv\"); close(dir \"/expected/\" sn \".csv\")
        }
    }"

port=$(free_port)
data="$work/data"
start_orbtray "$data" "$port"
status_of() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$orbtray_pid/status"; }
rest_rss=$(status_of VmRSS)
rest_threads=$(status_of Threads)

# Thread count every 50 ms, the highest kept in a file when the sampler is stopped.
(
    peak=0
    trap 'echo "$peak" >"$work/peak-threads"; exit 0' TERM
    while :; do
        threads=$(awk '$1 == "Threads:" { print $2 }' "/proc/$orbtray_pid/status" 2>/dev/null || echo 0)
        ((threads > peak)) && peak=$threads
        nap 0.05
    done
) &
sampler=$!

start=$(now_ns)
clients=()
for file in "$work"/in/*.csv; do
    serial=$(basename "$file" .csv)
    "$orbsim" send --tcp "127.0.0.1:$port" --serial "$serial" "$file" >/dev/null &
    clients+=($!)
done
launched=$(now_ns)
until (($(count_lines "$work/orbtray.out" "^File Received") >= instruments)); do nap 0.005; done
finished=$(now_ns)
failed=0
for client in "${clients[@]}"; do wait "$client" || failed=$((failed + 1)); done
kill -TERM "$sampler"
wait "$sampler" || true
peak_rss=$(status_of VmHWM)
peak_threads=$(cat "$work/peak-threads")
stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }

differ=0
for file in "$work"/expected/*.csv; do
    serial=$(basename "$file" .csv)
    stored=("$data/$serial"/*.csv)
    if [[ ${#stored[@]} -ne 1 ]] || ! cmp -s "$file" "${stored[0]}"; then
        differ=$((differ + 1))
    fi
done

total=$((instruments * lines_each))
seconds=$(elapsed "$start" "$finished")
echo "$instruments instruments x $lines_each lines = $total lines; $failed orbsim failures;" \
    "$differ of $instruments files missing or different"
echo "time from the first start of orbsim to the last file: $seconds s" \
    "(starting the $instruments orbsim processes took $(elapsed "$start" "$launched") s of it)"
echo "throughput: $(calc "%.0f" "t / s" -v t="$total" -v s="$seconds") lines/s"
echo "baseline orbtray at rest: RSS $((rest_rss / 1024)) MB ($rest_rss kB), $rest_threads threads"
echo "peak under load: RSS $(calc "%.1f" "k / 1024" -v k="$peak_rss") MB ($peak_rss kB), $peak_threads threads"
echo "ratio peak RSS / rest: $(calc "%.2f" "p / r" -v p="$peak_rss" -v r="$rest_rss");" \
    "peak RSS / 64 MB target: $(calc "%.2f" "p / 65536" -v p="$peak_rss") (target < 1)"
((failed == 0 && differ == 0))
