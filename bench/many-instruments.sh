#!/usr/bin/env bash
# Many instruments deliver at once, with the web page on (as users run orbtray, a viewer on its
# event stream) and off, in turns, on a fresh orbtray and Data folder each run. Figures per mode:
# readings per second over all of them, peak resident memory (VmHWM) and peak thread count, next
# to orbtray at rest; every stored file is compared with its source. Then what the page costs:
# its peak RSS over the page off (target: at most 2 MB more) and its throughput over the page off
# (target: no loss, at least 1.00; single runs spread widely on a shared machine, so the medians
# of RUNS runs are compared and the best runs are shown beside them).
#
# The instruments are bench/many_clients, one process holding every connection: starting orbsim
# hundreds of times takes seconds, longer than the transfers, and the instruments would never be
# connected all at once. The clock starts once all of them are connected and have said HELLO;
# bench/burst.sh measures the connects themselves.
#
#   bench/many-instruments.sh        (INSTRUMENTS=256 LINES_EACH=5000 RUNS=5 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
instruments=${INSTRUMENTS:-256}
lines_each=${LINES_EACH:-5000}
runs=${RUNS:-5}
ensure_release_build

make_instrument_files "$instruments" "$lines_each"
total=$((instruments * lines_each))
status_of() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$orbtray_pid/status"; }

viewer_pid=
sampler=
clients=
stop_helpers() {
    local pid
    for pid in ${viewer_pid:-} ${sampler:-} ${clients:-}; do
        # A stopped helper reports its signal; that must not end the clean-up early.
        { kill "$pid" && wait "$pid"; } 2>/dev/null || true
    done
    cleanup
}
trap stop_helpers EXIT

# One run with the page "on" or "off"; sets rate, peak_rss, rest_rss, rest_threads,
# peak_threads, differ and connect.
run_once() {
    local mode=$1 data=$work/data port web_port start finished seconds failed=0 told
    port=$(free_port)
    rm -rf "$data"
    if [[ $mode == on ]]; then
        web_port=$(free_port)
        start_orbtray "$data" "$port" --web "127.0.0.1:$web_port"
        # Users keep the page open: a viewer on its event stream for the whole run.
        # Each run's files are removed first: until a new process truncates them, the last
        # run's text would pass the waits below.
        rm -f "$work/events"
        curl -sN "http://127.0.0.1:$web_port/api/events" >"$work/events" 2>/dev/null &
        viewer_pid=$!
        await_event_stream "$work/events" || { echo "bench: no event stream" >&2; exit 1; }
    else
        start_orbtray "$data" "$port" --web off
    fi
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

    rm -f "$work/clients.out"
    "$many_clients" "$port" "$work"/in/*.csv >"$work/clients.out" &
    clients=$!
    until grep -q '^sending ' "$work/clients.out" 2>/dev/null; do nap 0.005; done
    start=$(awk '$1 == "sending" { print $2 }' "$work/clients.out")
    until (($(count_lines "$work/orbtray.out" "^File Received") >= instruments)); do nap 0.01; done
    finished=$(now_ns)
    wait "$clients" || failed=1
    clients=
    kill -TERM "$sampler"
    wait "$sampler" || true
    sampler=
    peak_rss=$(status_of VmHWM)
    peak_threads=$(cat "$work/peak-threads")
    if [[ $mode == on ]]; then
        # The page publishes from a thread of its own: allow it 10 s to tell the viewer of all.
        for _ in $(seq 1000); do
            told=$(count_lines "$work/events" "^event: file")
            ((told >= instruments)) && break
            nap 0.01
        done
        ((told >= instruments)) || { echo "bench: the viewer saw $told of $instruments files" >&2; failed=1; }
    fi
    stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }
    if [[ -n $viewer_pid ]]; then
        wait "$viewer_pid" 2>/dev/null || true
        viewer_pid=
    fi
    differ=$(count_differing "$data")
    connect=$(grep '^slowest connect' "$work/clients.out")
    seconds=$(elapsed "$start" "$finished")
    rate=$(calc "%.0f" "t / s" -v t="$total" -v s="$seconds")
    ((failed == 0)) || { echo "bench: many_clients or the viewer failed" >&2; exit 1; }
    ((differ == 0)) || { echo "bench: $differ of $instruments files missing or different" >&2; exit 1; }
    echo "page $mode  run $run: $seconds s, $rate lines/s, peak RSS $peak_rss kB" \
        "(rest $rest_rss kB), peak $peak_threads threads ($rest_threads at rest); $connect"
}

# Taking turns, so that a change in the machine's load falls on both alike.
declare -A rates rss rests rate_median rss_median
for ((run = 1; run <= runs; run++)); do
    for mode in off on; do
        run_once "$mode"
        rates[$mode]+="$rate "
        rss[$mode]+="$peak_rss "
        rests[$mode]+="$rest_rss "
    done
done

echo
echo "$instruments instruments x $lines_each lines = $total lines per run, all files byte-exact;" \
    "$runs runs per mode, taking turns"
# shellcheck disable=SC2086  # the lists are numbers separated by spaces
for mode in off on; do
    rate_median[$mode]=$(median ${rates[$mode]})
    rss_median[$mode]=$(median ${rss[$mode]})
    echo "page $mode: throughput median $(calc "%.0f" "r" -v r="${rate_median[$mode]}") lines/s," \
        "best $(worst ${rates[$mode]}) lines/s; peak RSS median" \
        "$(calc "%.1f" "k / 1024" -v k="${rss_median[$mode]}") MB (${rss_median[$mode]} kB)," \
        "highest $(worst ${rss[$mode]}) kB; at rest $(median ${rests[$mode]}) kB"
done
rss_added=$((rss_median[on] - rss_median[off]))
verdict() { calc "%s" "($1) ? \"met\" : \"NOT met\"" "${@:2}"; }
echo "page on - off, peak RSS (medians): $rss_added kB" \
    "($(calc "%.2f" "k / 1024" -v k="$rss_added") MB; target <= 2 MB)" \
    "$(verdict "k <= 2048" -v k="$rss_added")"
ratio=$(calc "%.3f" "a / b" -v a="${rate_median[on]}" -v b="${rate_median[off]}")
# shellcheck disable=SC2086
best_ratio=$(calc "%.3f" "a / b" -v a="$(worst ${rates[on]})" -v b="$(worst ${rates[off]})")
echo "page on / off, throughput (medians): $ratio (best against best $best_ratio;" \
    "target >= 1.00, no loss) $(verdict "r >= 1" -v r="$ratio")"
echo "peak RSS / 64 MB target: $(calc "%.2f" "p / 65536" -v p="${rss_median[on]}") (target < 1)"
