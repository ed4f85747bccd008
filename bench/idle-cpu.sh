#!/usr/bin/env bash
# CPU time orbtray uses in a minute with nothing connected (its threads wake only for their
# stop events and the serial port scan once a second), against `sleep` over the same minute.
# The web page is served, as it is by default, with nobody looking at it.
#
#   bench/idle-cpu.sh                (IDLE_SECONDS=60 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${IDLE_SECONDS:-60}
target=0.02 # seconds of CPU per minute
ensure_release_build

# CPU seconds used so far by every thread of process $1. The scheduler's own run time counts in
# nanoseconds; utime + stime from /proc/PID/stat count in clock ticks of 0.01 s, too coarse to
# tell 0.02 s a minute from nothing, and serve only where the kernel keeps no sched file. Threads
# that end inside the interval would drop out of the sum; at rest none start or end.
cpu_seconds() {
    if [[ -r /proc/$1/sched ]]; then
        awk '/^se\.sum_exec_runtime/ { ms += $3 } END { printf "%.6f", ms / 1000 }' \
            /proc/"$1"/task/*/sched
    else
        local stat
        stat=$(<"/proc/$1/stat")
        # Fields counted after the ")" that ends the command name, which may contain blanks.
        awk -v k="$(getconf CLK_TCK)" '{ printf "%.6f", ($12 + $13) / k }' <<<"${stat##*) }"
    fi
}

web_port=$(free_port)
start_orbtray "$work/data" "$(free_port)" --web "127.0.0.1:$web_port"
grep -q "^orbtray: web page at" "$work/orbtray.out" ||
    { echo "bench: the web page is not served" >&2; exit 1; }
sleep $((seconds + 5)) &
sleeper=$!
at_rest=$(cpu_seconds "$orbtray_pid")
sleeper_start=$(cpu_seconds "$sleeper")
nap "$seconds"
orbtray_used=$(calc "%.6f" "b - a" -v a="$at_rest" -v b="$(cpu_seconds "$orbtray_pid")")
sleeper_used=$(calc "%.6f" "b - a" -v a="$sleeper_start" -v b="$(cpu_seconds "$sleeper")")
kill "$sleeper"
stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }

per_minute() { calc "%.4f" "t * 60 / s" -v t="$1" -v s="$seconds"; }
source_name=$([[ -r /proc/self/sched ]] && echo "scheduler run time" || echo "clock ticks")
echo "idle for $seconds s with the web page on ($source_name; start-up not counted)"
echo "baseline sleep:  $(per_minute "$sleeper_used") s CPU per minute"
echo "orbtray idle:    $(per_minute "$orbtray_used") s CPU per minute (target <= $target)"
echo "ratio to target: $(calc "%.2f" "t * 60 / s / g" -v t="$orbtray_used" -v s="$seconds" -v g="$target")"
