# shellcheck shell=bash
# Shared by the benchmark scripts (sourced, not run): the optimised build, scratch space, free
# ports and a running orbtray. ORBTRAY_BUILD_DIR names a build to measure as it is, unbuilt.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORBTRAY_BUILD_DIR:-$repo/build/linux-release}
orbtray=$build/src/app/orbtray
orbsim=$build/tools/orbsim/orbsim
many_clients=$build/bench/many_clients

# Figures from a debug or sanitizer build would say nothing about the product, so the scripts
# always measure the release preset, brought up to date first, with the helpers of bench/.
ensure_release_build() {
    if [[ -z ${ORBTRAY_BUILD_DIR:-} ]]; then
        (cd "$repo" && cmake --preset linux-release -DORBTRAY_BENCH=ON &&
            cmake --build --preset linux-release --target orbtray orbsim many_clients) >/dev/null
    fi
    [[ -x $orbtray && -x $orbsim && -x $many_clients ]] ||
        { echo "bench: orbtray, orbsim or many_clients missing in $build" >&2; exit 1; }
}

work=$(mktemp -d "${TMPDIR:-/tmp}/orbtray-bench.XXXXXX")
cleanup() {
    [[ -n ${orbtray_pid:-} ]] && kill "$orbtray_pid" 2>/dev/null && wait "$orbtray_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A pipe nobody writes to: `read -t` on it sleeps without starting a process, so polling loops
# take no CPU away from the program being measured.
exec {nap_fd}<> <(:)
nap() { read -r -t "$1" -u "$nap_fd" || true; }

now_ns() { date +%s%N; }
# Seconds, three decimals, from two now_ns readings.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
# awk arithmetic on the arguments, e.g. calc "%.1f" "a / b" a=1 b=2
calc() {
    local format=$1 expression=$2
    shift 2
    awk "$@" "BEGIN { printf \"$format\", $expression }"
}

# The shortest, the longest and the middle of a list of times.
best() { printf '%s\n' "$@" | sort -n | head -1; }
worst() { printf '%s\n' "$@" | sort -n | tail -1; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# A port free for both TCP and UDP on this machine now.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        [[ -z $(ss -Htuan "sport = :$port") ]] && { echo "$port"; return; }
    done
}

# Starts orbtray on $1 (data folder) and $2 (port), with any further arguments, its output in
# $work, and waits until it says it is receiving. Sets orbtray_pid.
start_orbtray() {
    # The previous run's output says "receiving" too until the new process truncates it.
    rm -f "$work/orbtray.out"
    "$orbtray" --data-folder "$1" --port "$2" "${@:3}" >"$work/orbtray.out" 2>"$work/orbtray.err" &
    orbtray_pid=$!
    for _ in $(seq 500); do
        grep -q '^orbtray: receiving' "$work/orbtray.out" 2>/dev/null && return
        nap 0.01
    done
    echo "bench: orbtray did not start" >&2
    cat "$work/orbtray.err" >&2
    exit 1
}

# SIGTERM, then its exit status.
stop_orbtray() {
    local status=0
    kill -TERM "$orbtray_pid"
    wait "$orbtray_pid" || status=$?
    orbtray_pid=
    return "$status"
}

# Count of lines in $1 that contain $2.
# Waits until the page's event stream saved in FILE says it is connected; false after 10 s.
await_event_stream() {
    local _
    for _ in $(seq 1000); do
        grep -qs '^: connected' "$1" && return 0
        nap 0.01
    done
    return 1
}

count_lines() { grep -c -- "$2" "$1" 2>/dev/null || true; }

# A realistic instrument line of about 50 bytes: time stamp, serial, reading, unit,
# temperature. awk program text; `n` is the line number, `sn` the serial.
# shellcheck disable=SC2034  # used by the scripts that source this file
reading_awk='sprintf("2025-12-14T%02d:%02d:%02d.%03d,%s,%.4f,mm,21.%d", int(n/360000)%24, int(n/6000)%60, int(n/100)%60, (n%100)*10, sn, 20+(n*7919%100000)/10000, n%10)'

# One input file per instrument in $work/in ($1 of them, serials OX20000 on, $2 readings each) and
# what the receiver must store for each in $work/expected.
make_instrument_files() {
    mkdir -p "$work/in" "$work/expected"
    awk -v count="$1" -v each="$2" -v dir="$work" "
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
}

# How many of the files in $work/expected are not stored exactly once, byte for byte, in the
# Data folder $1.
count_differing() {
    local file serial stored differ=0
    for file in "$work"/expected/*.csv; do
        serial=$(basename "$file" .csv)
        stored=("$1/$serial"/*.csv)
        if [[ ${#stored[@]} -ne 1 ]] || ! cmp -s "$file" "${stored[0]}"; then
            differ=$((differ + 1))
        fi
    done
    echo "$differ"
}
