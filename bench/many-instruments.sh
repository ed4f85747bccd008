#!/usr/bin/env bash
# 200 instruments deliver at once. Figures: readings per second over all of them, peak resident
# memory (VmHWM) and peak thread count of orbtray, next to orbtray at rest; every stored file is
# compared with its source.
#
# The instruments are bench/many_clients, one process holding every connection: starting orbsim
# two hundred times takes seconds, longer than the transfers, and the instruments would never be
# connected all at once. The clock starts once all of them are connected and have said HELLO;
# bench/burst.sh measures the connects themselves.
#
#   bench/many-instruments.sh        (INSTRUMENTS=200 LINES_EACH=5000 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
instruments=${INSTRUMENTS:-200}
lines_each=${LINES_EACH:-5000}
ensure_release_build

make_instrument_files "$instruments" "$lines_each"

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

"$many_clients" "$port" "$work"/in/*.csv >"$work/clients.out" &
clients=$!
until grep -q '^sending ' "$work/clients.out" 2>/dev/null; do nap 0.005; done
start=$(awk '$1 == "sending" { print $2 }' "$work/clients.out")
until (($(count_lines "$work/orbtray.out" "^File Received") >= instruments)); do nap 0.01; done
finished=$(now_ns)
failed=0
wait "$clients" || failed=1
kill -TERM "$sampler"
wait "$sampler" || true
peak_rss=$(status_of VmHWM)
peak_threads=$(cat "$work/peak-threads")
stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }

differ=$(count_differing "$data")

total=$((instruments * lines_each))
seconds=$(elapsed "$start" "$finished")
echo "$instruments instruments x $lines_each lines = $total lines;" \
    "$differ of $instruments files missing or different"
echo "$(grep '^slowest connect' "$work/clients.out") (all $instruments issued at once)"
echo "time from the first LINE to the last .csv: $seconds s"
echo "throughput: $(calc "%.0f" "t / s" -v t="$total" -v s="$seconds") lines/s"
echo "baseline orbtray at rest: RSS $((rest_rss / 1024)) MB ($rest_rss kB), $rest_threads threads"
echo "peak under load: RSS $(calc "%.1f" "k / 1024" -v k="$peak_rss") MB ($peak_rss kB), $peak_threads threads"
echo "ratio peak RSS / rest: $(calc "%.2f" "p / r" -v p="$peak_rss" -v r="$rest_rss");" \
    "peak RSS / 64 MB target: $(calc "%.2f" "p / 65536" -v p="$peak_rss") (target < 1)"
((failed == 0)) || echo "bench: many_clients failed" >&2
((failed == 0 && differ == 0))
