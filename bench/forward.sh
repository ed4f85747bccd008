#!/usr/bin/env bash
# The hand-off's cost, in two figures.
#
# 1. 1,000 files of 100 KB handed to a folder target on the same disk, from `orbtray outbox add`
#    to an empty outbox, against `cp` of the same files with `sync`. Two baselines: `cp` of each
#    file followed by `sync` of that file (durable file by file, as the hand-off is, since a job
#    ends only once its copy is on the disk), and one `cp` of all files with one `sync` at the
#    end. Goal: at least 0.8 of the first.
# 2. TCP ingest of a 1,000,000-line file (from the connect to the final .csv) with forwarding on
#    and off. Goal: at least 0.95.
#
#   bench/forward.sh        (FILES=1000 KB=100 LINES_TOTAL=1000000 RUNS=5 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
files=${FILES:-1000}
kb=${KB:-100}
lines=${LINES_TOTAL:-1000000}
runs=${RUNS:-5}
ensure_release_build

# The files as a Data folder holds them, under ten serial folders.
mkdir -p "$work/source"
head -c $((kb * 768)) /dev/urandom | base64 -w 76 >"$work/one"
for ((i = 0; i < files; i++)); do
    mkdir -p "$work/source/OX$((i % 10))"
    { printf '%d\n' "$i"; cat "$work/one"; } >"$work/source/OX$((i % 10))/250101-$(printf %06d "$i").csv"
done
mb=$(calc "%.1f" "b / 1e6" -v b="$(du -sb "$work/source" | cut -f1)")

same_tree() { diff -r "$work/source" "$1" >/dev/null; }

cp_each_run() {
    local start dir file
    rm -rf "$work/copy" && mkdir -p "$work/copy" && sync
    start=$(now_ns)
    for dir in "$work"/source/*; do
        mkdir -p "$work/copy/${dir##*/}"
        for file in "$dir"/*; do
            cp "$file" "$work/copy/${dir##*/}/" && sync "$work/copy/${dir##*/}/${file##*/}"
        done
    done
    sync -f "$work/copy"
    seconds=$(elapsed "$start" "$(now_ns)")
    same_tree "$work/copy" || { echo "bench: cp's copy differs" >&2; exit 1; }
}

cp_all_run() {
    local start
    rm -rf "$work/copy" && mkdir -p "$work/copy" && sync
    start=$(now_ns)
    cp -r "$work"/source/. "$work/copy/" && sync -f "$work/copy"
    seconds=$(elapsed "$start" "$(now_ns)")
    same_tree "$work/copy" || { echo "bench: cp's copy differs" >&2; exit 1; }
}

forward_run() {
    local start port
    rm -rf "$work/copy" "$work/outbox" && mkdir -p "$work/copy" && sync
    "$orbtray" outbox add --outbox "$work/outbox" --forward-to "$work/copy" \
        "$work"/source/*/*.csv >/dev/null
    sync
    port=$(free_port)
    start=$(now_ns)
    start_orbtray "$work/data" "$port" --web off --no-usb-scan --outbox "$work/outbox" \
        --forward-to "$work/copy"
    until [[ -z $(compgen -G "$work/outbox/*.job") ]]; do nap 0.005; done
    seconds=$(elapsed "$start" "$(now_ns)")
    stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }
    same_tree "$work/copy" || { echo "bench: the forwarded copy differs" >&2; exit 1; }
}

each_times=() all_times=() forward_times=()
for ((run = 1; run <= runs; run++)); do
    cp_each_run
    each_times+=("$seconds")
    cp_all_run
    all_times+=("$seconds")
    forward_run
    forward_times+=("$seconds")
    echo "run $run: cp+sync each ${each_times[-1]} s, cp+sync all ${all_times[-1]} s, orbtray ${forward_times[-1]} s"
done
each=$(median "${each_times[@]}")
all=$(median "${all_times[@]}")
forward=$(median "${forward_times[@]}")
echo
echo "$files files of $kb KB ($mb MB), medians of $runs runs:"
echo "baseline cp + sync of each file:   $each s"
echo "baseline cp of all + one sync:     $all s"
echo "orbtray hand-off to a folder:      $forward s (includes its start-up)"
echo "ratio hand-off/cp+sync each speed: $(calc "%.2f" "e / f" -v e="$each" -v f="$forward") (target >= 0.8)"
echo "ratio hand-off/cp+sync all speed:  $(calc "%.2f" "a / f" -v a="$all" -v f="$forward")"

# 2. Ingest with and without forwarding: the same stream, taking turns.
serial=OX10001
awk -v sn="$serial" -v count="$lines" -v stream="$work/stream" "
    BEGIN {
        printf \"HELLO %s\\r\\n\", sn > stream
        for (n = 0; n < count; n++) {
            line = $reading_awk
            printf \"LINE %s\\r\\n\", line > stream
        }
        printf \"BYE\\r\\n\" > stream
    }"
ingest_run() {
    local port start client
    port=$(free_port)
    rm -rf "$work/data" "$work/copy" "$work/outbox" && mkdir -p "$work/copy"
    start_orbtray "$work/data" "$port" --web off --no-usb-scan "$@"
    start=$(now_ns)
    socat -b 262144 -u "OPEN:$work/stream,rdonly" "TCP:127.0.0.1:$port" &
    client=$!
    until compgen -G "$work/data/$serial/*.csv" >/dev/null; do nap 0.002; done
    seconds=$(elapsed "$start" "$(now_ns)")
    wait "$client"
    if [[ $# -gt 0 ]]; then
        until compgen -G "$work/copy/$serial/*.csv" >/dev/null; do nap 0.01; done
    fi
    stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }
}
off_times=() on_times=()
for ((run = 1; run <= runs; run++)); do
    ingest_run
    off_times+=("$seconds")
    ingest_run --outbox "$work/outbox" --forward-to "$work/copy"
    on_times+=("$seconds")
    echo "run $run: ingest off ${off_times[-1]} s, on ${on_times[-1]} s"
done
off=$(median "${off_times[@]}")
on=$(median "${on_times[@]}")
echo
echo "ingest of $lines lines, medians of $runs runs: forwarding off $off s, on $on s"
echo "ratio ingest speed on/off: $(calc "%.2f" "f / n" -v f="$off" -v n="$on") (target >= 0.95)"
