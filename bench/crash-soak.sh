#!/usr/bin/env bash
# Crash soak: while 20 instruments send over loopback, orbtray is killed with SIGKILL at a random
# moment, then started again on the same Data folder and stopped in order. The Data folder is
# kept from round to round, so every start also faces what all earlier crashes left behind.
# After every round:
#   - no .tmp file survives the clean start;
#   - every .csv is byte-exact to what its instrument sent (a part of a file never counts);
#   - every file announced as received, in any run (the killed one too), is still there and
#     exact, and its announcement gives the right number of readings.
# Figures: rounds, files checked, files lost (must be 0; the exit status is 1 otherwise).
#
#   bench/crash-soak.sh          (ROUNDS=200 by default; SEED=N replays a run's random choices)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
rounds=${ROUNDS:-200}
seed=${SEED:-$((RANDOM * 32768 + RANDOM))}
RANDOM=$seed

# Only the two programs under test are needed; nothing here is timed against a baseline.
if [[ -z ${ORBTRAY_BUILD_DIR:-} ]]; then
    (cd "$repo" && cmake --preset linux-release &&
        cmake --build --preset linux-release --target orbtray orbsim) >/dev/null
fi
[[ -x $orbtray && -x $orbsim ]] ||
    { echo "bench: orbtray or orbsim missing in $build" >&2; exit 1; }

# What each serial number sends: a file of `lines` readings in one of these shapes.
#   plain  LF after every line          crlf  CR LF after every line (the CR is not data)
#   open   no line feed after the last  gaps  an empty line every 50 lines
#   wide   lines of about 2,000 bytes (the receiver takes up to 4,096)
# The sizes run from one line to 4.8 MB, which crosses the receiver's 64 KiB write buffer and
# its 4 MB background flush, so a kill can fall before, between or after any of them.
sources='
OX40001      1 plain
OX40002      7 crlf
OX40003     60 open
OX40004    250 gaps
OX40005   2000 plain
OX40006  20000 plain
OX40007  90000 plain
OX40008    400 wide
OX40009    300 plain
OX40010   3000 crlf
OX40011    400 plain
OX40012   2000 gaps
OX40013   5000 plain
OX40014     30 plain
OX40015    500 plain
'
# The 20 instruments: serial, how many transfers one after the other (each on its own
# connection), and orbsim's --chunk and --pause (0: the whole transfer in one write). The two
# streams of small transfers keep files being finished (flushed, renamed, announced) through
# the first part of the round, so that kills land inside that step and not only around it. Paced
# ones take from about 100 ms to about 1 s, so most kills find some of them half-way; the
# unpaced big ones are still arriving or being flushed when the kill comes early. Several share
# OX40009, OX40010 and OX40015 so that transfers of one serial start in the same second and the
# receiver has to hand out -2, -3... names next to the .tmp files of its competitors.
senders='
OX40001 20    0   0
OX40002 10    0   0
OX40003 2     0   0
OX40004 2     0   0
OX40005 1     0   0
OX40006 1     0   0
OX40007 1     0   0
OX40008 1     0   0
OX40009 2     0   0
OX40009 2     0   0
OX40009 2     0   0
OX40010 1  4096   2
OX40010 1  4096   2
OX40011 1  1000  10
OX40012 1  8192  20
OX40013 1 16384  50
OX40014 1     7   1
OX40015 1  2048   3
OX40015 1  2048   3
OX40015 1  2048   3
'

# Sources and the bytes an instrument turns them into. The readings keep to the bytes 0x20-0x7D
# that instrument data consists of (the receiver drops any other byte of a line by design), so
# the expected .csv is just each line of the source, without its line end, followed by CR LF.
mkdir -p "$work/in" "$work/expected"
declare -A expected_md5 expected_lines
while read -r serial lines shape; do
    [[ -n $serial ]] || continue
    awk -v sn="$serial" -v count="$lines" -v shape="$shape" -v out="$work/in/$serial.txt" "
        BEGIN {
            for (n = 0; n < count; n++) {
                line = $reading_awk
                if (shape == \"wide\")
                    while (length(line) < 2000) line = line \";\" $reading_awk
                if (shape == \"gaps\" && n % 50 == 49) line = \"\"
                end = shape == \"crlf\" ? \"\\r\\n\" : \"\\n\"
                if (shape == \"open\" && n == count - 1) end = \"\"
                printf \"%s%s\", line, end > out
            }
        }"
    # The instrument's side: one LINE per line feed, a trailing CR dropped, and the last line
    # sent even without a line feed. awk splits records the same way.
    awk '{ sub(/\r$/, ""); printf "%s\r\n", $0 }' "$work/in/$serial.txt" \
        >"$work/expected/$serial.csv"
    expected_md5[$serial]=$(md5sum <"$work/expected/$serial.csv")
    expected_md5[$serial]=${expected_md5[$serial]%% *}
    expected_lines[$serial]=$(awk 'END { print NR }' "$work/in/$serial.txt")
done <<<"$sources"

sender_rows=()
while read -r serial copies chunk pause; do
    [[ -n $serial ]] && sender_rows+=("$serial $copies $chunk $pause")
done <<<"$senders"

# Every child is killed on the way out, however the script ends. SIGKILL for orbtray too: a
# receiver that hangs on SIGTERM must not hang the script.
sender_pids=()
stop_all() {
    local pid
    for pid in "${sender_pids[@]}" ${orbtray_pid:-}; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    orbtray_pid=
    cleanup
}
trap stop_all EXIT

# True once child $1 has ended: bash may already have collected it, and its number may even
# belong to another process by now, so "running" means a live process whose parent is this
# shell. Reads /proc with builtins: polling must not start processes.
ended() {
    local stat state parent
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 0
    read -r state parent _ <<<"${stat##*) }"
    [[ $state == Z || $parent != "$$" ]]
}

# Waits up to $2 seconds for child $1 to end, then collects it; its exit status lands in
# `status`. A child still running by then is killed and reported: status 255.
reap() {
    local pid=$1 i
    for ((i = 0; i < $2 * 200; i++)); do
        if ended "$pid"; then break; fi
        nap 0.005
    done
    if ! ended "$pid"; then
        echo "bench: process $pid did not end within $2 s" >&2
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        status=255
        return
    fi
    status=0
    wait "$pid" 2>/dev/null || status=$?
}

port=$(free_port)
data=$work/data

# Starts orbtray with its output in $1.out and $1.err and waits up to 5 s for it to say it
# receives; by then it has deleted what an earlier run left unfinished.
start_receiver() {
    # Emptied here, not only by the redirection in the child: until the child gets that far, the
    # previous run's "receiving" would still be in the file.
    : >"$1.out"
    "$orbtray" --data-folder "$data" --port "$port" --no-usb-scan >"$1.out" 2>"$1.err" &
    orbtray_pid=$!
    local i
    for ((i = 0; i < 500; i++)); do
        if grep -qs '^orbtray: receiving' "$1.out"; then return; fi
        if ended "$orbtray_pid"; then break; fi
        nap 0.01
    done
    echo "bench: orbtray did not start" >&2
    cat "$1.err" >&2
    exit 1
}

start_senders() {
    local row serial copies chunk pause c i=0 pacing files
    sender_pids=()
    for row in "${sender_rows[@]}"; do
        read -r serial copies chunk pause <<<"$row"
        pacing=()
        if ((chunk > 0)); then pacing=(--chunk "$chunk" --pause "$pause"); fi
        files=()
        for ((c = 0; c < copies; c++)); do files+=("$work/in/$serial.txt"); done
        # Half from 127.0.0.2 and half from 127.0.0.3: no source address ever has more than 10
        # connections, within a per-address limit of 16.
        "$orbsim" send --tcp "127.0.0.1:$port" --serial "$serial" "${pacing[@]}" \
            --from "127.0.0.$((2 + i % 2))" "${files[@]}" >/dev/null 2>"$work/sender-$i.err" &
        sender_pids+=($!)
        i=$((i + 1))
    done
}

# The moment of the kill, in `delay` (ms): mostly within the first 300 ms, while nearly
# everything is arriving; one round in five later (up to 2 s), when the paced transfers end, so
# that kills also fall around the final flush and rename and many files complete. Not in a
# subshell, which would not advance RANDOM and so would not replay from SEED.
pick_kill_delay() {
    if ((RANDOM % 5 != 0)); then
        delay=$((RANDOM % 300))
    else
        delay=$((300 + RANDOM % 1700))
    fi
}

# The bookkeeping of every .csv ever seen, by path below the Data folder: good (exact), wrong
# (not exact) or lost (announced or once good, and gone). `known` lists them all, sorted.
declare -A state
: >"$work/known"
lost=0
mark_lost() {
    if [[ ${state[$1]:-} == wrong || ${state[$1]:-} == lost ]]; then return; fi
    state[$1]=lost
    lost=$((lost + 1))
    echo "bench: round $round: $1: $2" >&2
}

tmp_at_kill=0
deleted_at_start=0
miscleaned=0
refused=0
announced=0
miscounted=0
strays=0
tmp_survivors=0
hangs=0
delays=()

# The Data folder after the clean run of round $round, and the announcements of both runs in
# $work/run-killed.out and $work/run-clean.out.
check_round() {
    local path serial sum want name text
    (cd "$data" && find . -type f -printf '%P\n') | LC_ALL=C sort >"$work/now"
    while read -r path; do
        [[ -n $path ]] || continue
        tmp_survivors=$((tmp_survivors + 1))
        echo "bench: round $round: $path survived a clean start" >&2
    done < <(grep '\.tmp$' "$work/now" || true)
    while read -r path; do
        [[ -n $path ]] || continue
        strays=$((strays + 1))
        echo "bench: round $round: unexpected file $path" >&2
    done < <(grep -v -e '\.tmp$' -e '\.csv$' "$work/now" || true)
    grep '\.csv$' "$work/now" >"$work/now.csv" || true

    # Files seen before that are no longer there.
    while read -r path; do
        if [[ ${state[$path]} == good ]]; then mark_lost "$path" "disappeared"; fi
    done < <(LC_ALL=C comm -23 "$work/known" "$work/now.csv")

    # New files: each must be exactly its serial's expected bytes. One md5sum for all of them.
    LC_ALL=C comm -13 "$work/known" "$work/now.csv" >"$work/new"
    while read -r sum path; do
        serial=${path%%/*}
        want=${expected_md5[$serial]:-}
        if [[ -n $want && $sum == "$want" ]]; then
            state[$path]=good
        else
            state[$path]=wrong
            lost=$((lost + 1))
            echo "bench: round $round: $path is not what $serial sent:" \
                "$(stat -c %s "$data/$path") bytes, expected" \
                "$(stat -c %s "$work/expected/$serial.csv" 2>/dev/null || echo "no file")" >&2
        fi
    done < <(cd "$data" && xargs -r -d '\n' md5sum <"$work/new")
    LC_ALL=C sort -m -o "$work/known" "$work/known" "$work/new"

    # Announcements: the file must be here and exact, the count of readings right.
    while IFS=$'\t' read -r name text path; do
        [[ $name == "File Received" ]] || continue
        announced=$((announced + 1))
        path=${path#"$data"/}
        serial=${path%%/*}
        if [[ $text != "Device $serial sent ${expected_lines[$serial]:-?} readings." ]]; then
            miscounted=$((miscounted + 1))
            echo "bench: round $round: $path announced as: $text" >&2
        fi
        if [[ ${state[$path]:-} != good ]]; then mark_lost "$path" "announced, but missing"; fi
    done < <(cat "$work/run-killed.out" "$work/run-clean.out")
}

echo "crash soak: $rounds rounds of ${#sender_rows[@]} instruments over 127.0.0.2 and 127.0.0.3," \
    "orbtray killed after 0-2000 ms (seed $seed)"
start=$(now_ns)
for ((round = 1; round <= rounds; round++)); do
    start_receiver "$work/run-killed"
    start_senders
    pick_kill_delay
    delays+=("$delay")
    nap "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
    kill -KILL "$orbtray_pid"
    reap "$orbtray_pid" 5
    orbtray_pid=
    # The instruments go only after the receiver: killing them first would turn the crash into
    # ordinary broken-off transfers. None may live on to reach the next receiver.
    kill -KILL "${sender_pids[@]}" 2>/dev/null || true
    # An instrument may end killed, failed (its receiver died) or done; a usage error (2) means
    # this script asks orbsim for something it does not do, and every later figure would lie.
    for i in "${!sender_pids[@]}"; do
        reap "${sender_pids[i]}" 5
        if ((status == 2)); then
            echo "bench: orbsim refused its arguments:" >&2
            cat "$work/sender-$i.err" >&2
            exit 1
        fi
    done
    sender_pids=()
    left=$(find "$data" -name '*.tmp' | wc -l)
    tmp_at_kill=$((tmp_at_kill + left))
    # A clean-up takes only files unchanged for an hour (a live writer on another mount shows
    # no lock); the crash's leftovers are made that old, as the next start would find them later.
    find "$data" -name '*.tmp' -exec touch -d '2 hours ago' {} +

    start_receiver "$work/run-clean"
    deleted=$(awk '/^orbtray: deleted/ { print $3 }' "$work/run-clean.out")
    deleted=${deleted:-0}
    deleted_at_start=$((deleted_at_start + deleted))
    # The start deletes its own temporary names and nothing else: exactly what the kill left.
    if ((deleted != left)); then
        miscleaned=$((miscleaned + 1))
        echo "bench: round $round: $left .tmp files left at the kill, $deleted deleted at start" >&2
    fi
    kill -TERM "$orbtray_pid"
    reap "$orbtray_pid" 10
    orbtray_pid=
    if ((status != 0)) || ! grep -q '^orbtray: stopped' "$work/run-clean.out"; then
        hangs=$((hangs + 1))
        echo "bench: round $round: orbtray did not stop in order (status $status)" >&2
    fi
    check_round
    # Transfers the receiver turned away (no name left for the second, a directory it could
    # not make...): not losses, but each is a transfer this soak did not test.
    turned_away=$(cat "$work/run-killed.err" "$work/run-clean.err" | grep -c ' cannot ' || true)
    refused=$((refused + turned_away))
    if ((round % 20 == 0)); then
        echo "round $round: ${#state[@]} files checked, $lost lost," \
            "$(elapsed "$start" "$(now_ns)") s"
    fi
done
finished=$(now_ns)

# Last, every file still counted good is read again: none may have changed since it was checked.
good_files=()
for path in "${!state[@]}"; do
    if [[ ${state[$path]} == good ]]; then good_files+=("$path"); fi
done
exact=0
while read -r sum path; do
    if [[ $sum == "${expected_md5[${path%%/*}]}" ]]; then
        exact=$((exact + 1))
    else
        state[$path]=good-then-changed
        lost=$((lost + 1))
        echo "bench: $path changed after it was checked" >&2
    fi
done < <(cd "$data" && printf '%s\n' "${good_files[@]}" | xargs -r -d '\n' md5sum)

# Complete files per serial: a serial that never completes means the mix of sizes, paces and
# delays no longer reaches the end of its transfers, and so the final flush and rename.
declare -A completed
for serial in "${!expected_md5[@]}"; do completed[$serial]=0; done
for path in "${good_files[@]}"; do
    completed[${path%%/*}]=$((${completed[${path%%/*}]:-0} + 1))
done
per_serial=$(for serial in "${!completed[@]}"; do echo "$serial ${completed[$serial]}"; done |
    sort | awk '{ printf "%s%s %d", (NR > 1 ? ", " : ""), $1, $2 }')
for serial in "${!completed[@]}"; do
    if ((completed[$serial] == 0)); then
        echo "bench: no complete file from $serial in $rounds rounds" >&2
    fi
done

seconds=$(elapsed "$start" "$finished")
echo
echo "rounds: $rounds in $seconds s" \
    "($(calc "%.2f" "s / r" -v s="$seconds" -v r="$rounds") s a round)," \
    "kill after median $(median "${delays[@]}") ms"
echo "files announced as received: $announced ($miscounted with a wrong count of readings)"
echo "unfinished .tmp files at the kills: $tmp_at_kill;" \
    "deleted by the next start: $deleted_at_start;" \
    "surviving a clean start: $tmp_survivors"
echo "starts that deleted other than what the kill left: $miscleaned;" \
    "transfers refused by orbtray: $refused"
echo "orbtray runs that did not stop in order on SIGTERM: $hangs; unexpected files: $strays"
echo "complete files per serial: $per_serial"
echo "files checked: ${#state[@]} .csv ($exact byte-exact at the end)"
echo "files lost: $lost (must be 0)"
((lost == 0 && tmp_survivors == 0 && miscounted == 0 && hangs == 0 && strays == 0 &&
    miscleaned == 0))
