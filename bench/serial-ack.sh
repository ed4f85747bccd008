#!/usr/bin/env bash
# Lines per second over a serial link that answers every line with an ACK: orbsim sends a
# 20,000-line file through a pair of ptys joined by socat, waiting for the ACK of each line before
# it sends the next. Figure: orbtray's rate against the baseline's, ack_responder, which answers
# each line feed with one ACK byte and does nothing else, behind the same ptys and the same socat.
#
#   bench/serial-ack.sh          (LINES_TOTAL=20000 RUNS=3 by default; best run counts)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
lines=${LINES_TOTAL:-20000}
runs=${RUNS:-3}

if [[ -z ${ORBTRAY_BUILD_DIR:-} ]]; then
    (cd "$repo" && cmake --preset linux-release &&
        cmake --build --preset linux-release --target orbtray orbsim) >/dev/null
fi
[[ -x $orbtray && -x $orbsim ]] || { echo "bench: orbtray or orbsim missing in $build" >&2; exit 1; }
responder=$work/ack_responder
cc -O2 -o "$responder" "$repo/bench/ack_responder.c"

cable_pid=
responder_pid=
stop_helpers() {
    local pid
    for pid in ${responder_pid:-} ${cable_pid:-}; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    cleanup
}
trap stop_helpers EXIT

serial=OX20001
awk -v sn="$serial" -v count="$lines" -v csv="$work/expected.csv" -v input="$work/readings.csv" "
    BEGIN {
        for (n = 0; n < count; n++) {
            line = $reading_awk
            printf \"%s\\r\\n\", line > csv
            printf \"%s\\n\", line > input
        }
    }"

# Up to 10 s for the command in the arguments to succeed.
await() {
    for _ in $(seq 1000); do
        "$@" && return
        nap 0.01
    done
    echo "bench: gave up waiting for: $*" >&2
    exit 1
}

# Two ptys joined like a null-modem cable: $work/near for the receiver, $work/far for orbsim.
# socat makes far only once near has been opened, carries bytes once both are, and ends when
# either side closes.
start_cable() {
    rm -f "$work/near" "$work/far"
    socat "pty,rawer,wait-slave,link=$work/near" "pty,rawer,wait-slave,link=$work/far" \
        2>"$work/socat.err" &
    cable_pid=$!
}
end_cable() {
    wait "$cable_pid" 2>/dev/null || true
    cable_pid=
}

# Seconds orbsim takes for the whole file (open, HELLO, every LINE, BYE, each with its ACK).
timed_send() {
    local start
    start=$(now_ns)
    "$orbsim" send --serial-port "$work/far" --serial "$serial" "$work/readings.csv" >/dev/null
    elapsed "$start" "$(now_ns)"
}

# One run against ack_responder; sets seconds. Not in a subshell, so that the trap still knows
# every process to stop.
responder_run() {
    start_cable
    await test -e "$work/near"
    "$responder" "$work/near" >"$work/responder.out" &
    responder_pid=$!
    await grep -qs ready "$work/responder.out"
    await test -e "$work/far"
    seconds=$(timed_send)
    end_cable
    wait "$responder_pid" || { echo "bench: ack_responder failed" >&2; exit 1; }
    responder_pid=
}

# One run against orbtray, its file checked; sets seconds.
orbtray_run() {
    local data=$work/data
    start_cable
    "$orbtray" --data-folder "$data" --port "$(free_port)" --no-usb-scan \
        --serial-port "$work/near" >"$work/orbtray.out" 2>"$work/orbtray.err" &
    orbtray_pid=$!
    await grep -qs "^Device Connected" "$work/orbtray.out"
    await test -e "$work/far"
    seconds=$(timed_send)
    end_cable
    stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }
    cmp -s "$work/expected.csv" "$data/$serial/"*.csv ||
        { echo "bench: stored file differs" >&2; exit 1; }
    rm -rf "$data"
}

# Taking turns, so that a change in the machine's load during the bench falls on both alike.
responder_times=()
orbtray_times=()
for ((run = 1; run <= runs; run++)); do
    responder_run
    echo "ack_responder run $run: $seconds s"
    responder_times+=("$seconds")
    orbtray_run
    echo "orbtray       run $run: $seconds s"
    orbtray_times+=("$seconds")
done
responder_best=$(best "${responder_times[@]}")
orbtray_best=$(best "${orbtray_times[@]}")

responder_rate=$(calc "%.0f" "n / s" -v n="$lines" -v s="$responder_best")
orbtray_rate=$(calc "%.0f" "n / s" -v n="$lines" -v s="$orbtray_best")
echo
echo "file: $lines lines, one ACK each, over socat-joined ptys (best of $runs runs)"
echo "baseline ack_responder: $responder_best s, $responder_rate lines/s"
echo "orbtray to .csv:        $orbtray_best s, $orbtray_rate lines/s (includes its fsync at BYE)"
ratio=$(calc "%.2f" "r / o" -v o="$orbtray_best" -v r="$responder_best")
echo "ratio orbtray/ack_responder lines per second: $ratio (target >= 0.8)"
