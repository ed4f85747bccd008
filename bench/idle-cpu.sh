#!/usr/bin/env bash
# CPU time orbtray uses in a minute with nothing connected (its threads wake only for their
# stop events and the serial port scan once a second), against `sleep 60` over the same minute.
#
#   bench/idle-cpu.sh                (IDLE_SECONDS=60 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${IDLE_SECONDS:-60}
ensure_release_build
ticks=$(getconf CLK_TCK)

# utime + stime of process $1 in clock ticks. The fields are counted after the ")" that ends the
# command name, which may itself contain blanks.
cpu_ticks() {
    local stat
    stat=$(<"/proc/$1/stat")
    awk '{ print $12 + $13 }' <<<"${stat##*) }"
}

start_orbtray "$work/data" "$(free_port)"
sleep $((seconds + 5)) &
sleeper=$!
at_rest=$(cpu_ticks "$orbtray_pid")
sleeper_start=$(cpu_ticks "$sleeper")
nap "$seconds"
orbtray_used=$(($(cpu_ticks "$orbtray_pid") - at_rest))
sleeper_used=$(($(cpu_ticks "$sleeper") - sleeper_start))
kill "$sleeper"
stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }

per_minute() { calc "%.3f" "t / k * 60 / s" -v t="$1" -v k="$ticks" -v s="$seconds"; }
echo "idle for $seconds s (clock tick $(calc "%.3f" "1 / k" -v k="$ticks") s; start-up not counted)"
echo "baseline sleep:  $(per_minute "$sleeper_used") s CPU per minute"
echo "orbtray idle:    $(per_minute "$orbtray_used") s CPU per minute (target < 0.05)"
echo "ratio to target: $(calc "%.2f" "t / k * 60 / s / 0.05" -v t="$orbtray_used" -v k="$ticks" -v s="$seconds")"
