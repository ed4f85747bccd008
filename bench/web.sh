#!/usr/bin/env bash
# orbtray's web page under load, three figures, each against its own baseline:
#  - the list of LIST_FILES files as JSON (/api/files) against `orbtray list` of the same folder
#    (target: at most 1.5 times its time);
#  - VIEWERS open event streams: seconds from a transfer's BYE until every one has the "file"
#    event (target < 1 s), and the memory each viewer adds to orbtray;
#  - a 1,000,000-line TCP transfer while 10 clients fetch the list 50 times a second, against the
#    same transfer with the page off (target: at least 0.95 of its speed).
# The page takes 64 connections at most, so the viewers default to 63.
#
#   bench/web.sh        (LIST_FILES=20000 VIEWERS=63 LINES_TOTAL=1000000 RUNS=7 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
list_files=${LIST_FILES:-20000}
viewers=${VIEWERS:-63}
lines=${LINES_TOTAL:-1000000}
runs=${RUNS:-7}
clients="/usr/bin/python3 $repo/bench/web_clients.py"
ensure_release_build

# --- The list -------------------------------------------------------------------------------
python3 - "$work/big" "$list_files" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "OX%05d" % (i // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "2512%02d-%06d.csv" % (1 + i % 28, i)), "w") as f:
        f.write("2025-12-14T00:00:00.000,OX,20.0,mm,21.0\r\n" * (1 + i % 5))
PY
web_port=$(free_port)
start_orbtray "$work/big" "$(free_port)" --no-usb-scan --web "127.0.0.1:$web_port"
url="http://127.0.0.1:$web_port"
listed=$("$orbtray" list --data-folder "$work/big" | wc -l)
json_rows=$(curl -sf "$url/api/files" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["files"]))')
[[ $listed == "$json_rows" ]] || { echo "bench: list $listed rows, JSON $json_rows" >&2; exit 1; }
list_times=()
json_times=()
for ((run = 1; run <= runs; run++)); do
    start=$(now_ns)
    "$orbtray" list --data-folder "$work/big" >/dev/null
    list_times+=("$(elapsed "$start" "$(now_ns)")")
    start=$(now_ns)
    curl -sf -o /dev/null "$url/api/files"
    json_times+=("$(elapsed "$start" "$(now_ns)")")
done
list_median=$(median "${list_times[@]}")
json_median=$(median "${json_times[@]}")

stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }

# --- Event streams --------------------------------------------------------------------------
# On a fresh orbtray, so that its memory is not the heap the big list left behind.
mkdir -p "$work/streams"
web_port=$(free_port)
start_orbtray "$work/streams" "$(free_port)" --no-usb-scan --web "127.0.0.1:$web_port"
echo "$orbtray_pid" >"$work/pid"
fanout_times=()
for ((run = 1; run <= 3; run++)); do
    out=$($clients viewers "$(awk -F'port ' '/receiving/ { print $2 }' "$work/orbtray.out")" \
        "$web_port" "$viewers" "$work/pid")
    read -r _ before after <<<"$(grep '^memory' <<<"$out")"
    if [[ $run == 1 ]]; then
        memory_kb=$(calc "%.1f" "(a - b) / n" -v a="$after" -v b="$before" -v n="$viewers")
        memory_text="resident $before KB with no viewer, $after KB with $viewers"
    fi
    fanout_times+=("$(awk '/^fanout/ { print $2 }' <<<"$out")")
    nap 0.5
done
stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }


# --- Ingest beside list fetches -------------------------------------------------------------
serial=OX10001
awk -v sn="$serial" -v count="$lines" -v stream="$work/stream" "
    BEGIN {
        printf \"HELLO %s\\r\\n\", sn > stream
        for (n = 0; n < count; n++) { line = $reading_awk; printf \"LINE %s\\r\\n\", line > stream }
        printf \"BYE\\r\\n\" > stream
    }"
mkdir -p "$work/small"
cp -r "$work/big/OX00000" "$work/small/"
ingest() { # $1: --web value; sets seconds
    local port=$(free_port) fetching=
    start_orbtray "$work/small" "$port" --no-usb-scan --web "$1"
    if [[ $1 != off ]]; then
        $clients fetchers "${1##*:}" 10 50 60 >"$work/fetches" &
        fetching=$!
        nap 1
    fi
    local start=$(now_ns)
    socat -b 262144 -u "OPEN:$work/stream,rdonly" "TCP:127.0.0.1:$port"
    until compgen -G "$work/small/$serial/*.csv" >/dev/null; do nap 0.002; done
    seconds=$(elapsed "$start" "$(now_ns)")
    [[ -n $fetching ]] && kill "$fetching" 2>/dev/null && wait "$fetching" 2>/dev/null || true
    stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }
    rm -rf "${work:?}/small/$serial"
}
off_times=()
on_times=()
for ((run = 1; run <= runs; run++)); do
    ingest off
    off_times+=("$seconds")
    ingest "127.0.0.1:$(free_port)"
    on_times+=("$seconds")
    echo "ingest run $run: page off ${off_times[-1]} s, page on with 10 fetchers ${on_times[-1]} s"
done
off_median=$(median "${off_times[@]}")
on_median=$(median "${on_times[@]}")

echo "list of $list_files files ($runs runs, median):"
echo "  baseline orbtray list: $list_median s"
echo "  /api/files as JSON:    $json_median s (ratio $(calc "%.2f" "j / l" -v j="$json_median" -v l="$list_median"), target <= 1.5)"
echo "$viewers event streams (3 runs): BYE to the last viewer's file event $(median "${fanout_times[@]}") s median, $(worst "${fanout_times[@]}") s worst (target < 1)"
echo "  memory per viewer: $memory_kb KB ($memory_text)"
echo "ingest of $lines lines ($runs runs, median):"
echo "  baseline page off:               $off_median s"
echo "  page on, 10 clients x 50 lists/s: $on_median s (speed ratio $(calc "%.2f" "o / n" -v o="$off_median" -v n="$on_median"), target >= 0.95)"
echo "  best of each: $(best "${off_times[@]}") s off, $(best "${on_times[@]}") s on (speed ratio $(calc "%.2f" "o / n" -v o="$(best "${off_times[@]}")" -v n="$(best "${on_times[@]}")"))"
