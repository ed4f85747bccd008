#!/usr/bin/env bash
# Time per short serial transfer, as an instrument sees it: HELLO, LINES readings and BYE over a
# pty, each waiting for its ACK, from HELLO to the ACK of BYE (the file flushed and named .csv).
# Four cases in one run, each its own orbtray with its own Data folder and pty:
#   empty/off    nothing in the serial's folder, web page off
#   empty/on     nothing in the serial's folder, web page on, one viewer on its event stream
#   full/off     PRESET_FILES files already in the serial's folder, web page off
#   full/on      the same with the page on and a viewer
# The instruments (bench/serial_instruments.py) take turns, one transfer each, so that a change
# in the machine's load falls on all four alike. Figures: median and p90 per case, and the
# ratios page on / page off (target <= 1.05) and full / empty (target <= 1.1) of the medians.
#
#   bench/ack-latency.sh   (TRANSFERS=100 LINES=20 PRESET_FILES=20000 WARMUP=5 by default;
#                           TIMES_OUT=FILE keeps every transfer's time)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
transfers=${TRANSFERS:-100}
lines=${LINES:-20}
preset=${PRESET_FILES:-20000}
warmup=${WARMUP:-5}
serial=OX30001
cases=(empty/off empty/on full/off full/on)
ensure_release_build

pids=()
stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        # A stopped helper reports its signal; that must not end the clean-up early.
        { kill "$pid" && wait "$pid"; } 2>/dev/null || true
    done
    cleanup
}
trap stop_all EXIT

# A serial folder as years of use leave it: one file per transfer, each a few readings.
fill_folder() {
    python3 - "$1" "$preset" <<'PY'
import datetime, os, sys
folder, count = sys.argv[1], int(sys.argv[2])
os.makedirs(folder, exist_ok=True)
start = datetime.datetime(2024, 1, 1)
for i in range(count):
    name = (start + datetime.timedelta(minutes=17 * i)).strftime("%y%m%d-%H%M%S") + ".csv"
    with open(os.path.join(folder, name), "w") as f:
        f.write("2024-01-01T00:00:00.000,OX30001,20.0000,mm,21.0\r\n" * 3)
PY
}

specs=()
for case in "${cases[@]}"; do
    dir=$work/${case/\//-}
    mkdir -p "$dir/data"
    [[ $case == full/* ]] && fill_folder "$dir/data/$serial"
    [[ $case == */on ]] && free_port >"$dir/web-port"
    specs+=("$case:$dir/tty:$dir/orbtray.out")
done
[[ $(find "$work/full-off/data/$serial" -name '*.csv' | wc -l) == "$preset" ]] ||
    { echo "bench: the full folder was not made" >&2; exit 1; }

python3 "$repo/bench/serial_instruments.py" "$transfers" "$lines" "$warmup" "$serial" \
    "$work/go" "${specs[@]}" >"$work/times" 2>"$work/instruments.err" &
instruments_pid=$!
pids+=("$instruments_pid")
until grep -qs '^ready' "$work/times"; do
    kill -0 "$instruments_pid" 2>/dev/null ||
        { cat "$work/instruments.err" >&2; exit 1; }
    nap 0.01
done

for case in "${cases[@]}"; do
    dir=$work/${case/\//-}
    web=(--web off)
    [[ -e $dir/web-port ]] && web=(--web "127.0.0.1:$(cat "$dir/web-port")")
    "$orbtray" --data-folder "$dir/data" --port "$(free_port)" --no-usb-scan \
        --serial-port "$dir/tty" "${web[@]}" >"$dir/orbtray.out" 2>"$dir/orbtray.err" &
    pids+=("$!")
    echo "$!" >"$dir/pid"
done

# Each orbtray has its pty before anything goes to a page or an instrument.
for case in "${cases[@]}"; do
    dir=$work/${case/\//-}
    for _ in $(seq 1000); do
        grep -qs '^Device Connected' "$dir/orbtray.out" && break
        kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
        nap 0.01
    done
    grep -qs '^Device Connected' "$dir/orbtray.out" ||
        { echo "bench: $case: orbtray did not open its pty" >&2; cat "$dir/orbtray.err" >&2; exit 1; }
done

# Users keep the page open: a viewer on each page's event stream for the whole run.
for case in "${cases[@]}"; do
    dir=$work/${case/\//-}
    [[ -e $dir/web-port ]] || continue
    url="http://127.0.0.1:$(cat "$dir/web-port")/api/events"
    for _ in $(seq 1000); do
        curl -sf -o /dev/null --max-time 1 "http://127.0.0.1:$(cat "$dir/web-port")/" && break
        nap 0.01
    done
    curl -sN "$url" >"$dir/events" 2>/dev/null &
    pids+=("$!")
    echo "$!" >"$dir/viewer-pid"
done

# Each stream says ": connected" when it opens; only then do the transfers start.
for case in "${cases[@]}"; do
    dir=$work/${case/\//-}
    [[ -e $dir/events ]] || continue
    await_event_stream "$dir/events" || { echo "bench: $case: no event stream" >&2; exit 1; }
done
touch "$work/go"
wait "$instruments_pid" || { cat "$work/instruments.err" >&2; exit 1; }

# Every transfer stored, every viewer told, every orbtray stopping in order.
failed=0
for case in "${cases[@]}"; do
    dir=$work/${case/\//-}
    expected=$((transfers + warmup))
    [[ $case == full/* ]] && expected=$((expected + preset))
    on_disk=$(find "$dir/data/$serial" -name '*.csv' | wc -l)
    received=$(count_lines "$dir/orbtray.out" "^File Received")
    if [[ $on_disk != "$expected" || $received != $((transfers + warmup)) ]]; then
        echo "bench: $case: $on_disk files stored (want $expected), $received announced" >&2
        failed=1
    fi
    if [[ -e $dir/events ]]; then
        # The page publishes from a thread of its own: allow it 10 s to catch up.
        for _ in $(seq 1000); do
            told=$(count_lines "$dir/events" "^event: file")
            ((told >= transfers + warmup)) && break
            nap 0.01
        done
        ((told >= transfers + warmup)) ||
            { echo "bench: $case: the viewer saw $told of $((transfers + warmup)) files" >&2; failed=1; }
        kill "$(cat "$dir/viewer-pid")" 2>/dev/null || true
    fi
    kill -TERM "$(cat "$dir/pid")"
    wait "$(cat "$dir/pid")" || { echo "bench: $case: orbtray exited with $?" >&2; failed=1; }
done
pids=()

[[ -n ${TIMES_OUT:-} ]] && cp "$work/times" "$TIMES_OUT"

# Median and p90 (nearest rank) of one case's milliseconds.
stat_of() {
    awk -v c="$1" '$1 == c { print $2 }' "$work/times" | sort -n |
        awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2); p = int(NR * 0.9 + 0.999); printf "%s %s", v[m], v[p] }'
}
declare -A med p90
echo "$transfers transfers per case (after $warmup untimed), $lines readings each, one ACK per line,"
echo "pty held open between transfers; time from HELLO to the ACK of BYE"
for case in "${cases[@]}"; do
    read -r "med[$case]" "p90[$case]" <<<"$(stat_of "$case")"
    printf '%-9s median %8.2f ms   p90 %8.2f ms\n' "$case" "${med[$case]}" "${p90[$case]}"
done
ratio() {
    local label=$1 a=$2 b=$3 target=$4 value verdict
    value=$(calc "%.3f" "x / y" -v x="${med[$a]}" -v y="${med[$b]}")
    verdict=$(calc "%s" "(v <= t) ? \"met\" : \"NOT met\"" -v v="$value" -v t="$target")
    printf '%-44s %6s (target <= %s) %s\n' "$label" "$value" "$target" "$verdict"
}
echo
echo "ratios of the medians:"
ratio "page on / off, empty folder" empty/on empty/off 1.05
ratio "page on / off, $preset files" full/on full/off 1.05
ratio "$preset files / empty, page off" full/off empty/off 1.1
ratio "$preset files / empty, page on" full/on empty/on 1.1
((failed == 0))
