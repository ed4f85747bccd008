#!/usr/bin/env bash
# 200 instruments switched on together: bench/many_clients issues every connect before waiting
# for any, then each instrument sends a few readings and BYE. Figure: the slowest of the connects,
# against the same burst into socat listening with the system's largest backlog and a process per
# connection. A connect that finds the listen queue full loses its SYN and waits a second for
# the retry, so the slowest connect shows whether the receiver's queue and accepting keep up.
#
#   bench/burst.sh                   (INSTRUMENTS=200 LINES_EACH=5 RUNS=5 by default)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
instruments=${INSTRUMENTS:-200}
lines_each=${LINES_EACH:-5}
runs=${RUNS:-5}
ensure_release_build
make_instrument_files "$instruments" "$lines_each"

# Sets `slowest` (ms) and `reset` (connections the receiver lost) from a burst into port $1.
burst() {
    "$many_clients" "$1" "$work"/in/*.csv >"$work/clients.out" 2>"$work/clients.err" || true
    slowest=$(awk '$1 == "slowest" { print $3 }' "$work/clients.out")
    [[ -n $slowest ]] || { cat "$work/clients.err" >&2; exit 1; }
    reset=$(count_lines "$work/clients.err" "reset")
}

socat_run() {
    local port listener
    port=$(free_port)
    socat -u "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork,backlog=$(</proc/sys/net/core/somaxconn)" \
        OPEN:/dev/null &
    listener=$!
    until [[ -n $(ss -Htln "sport = :$port") ]]; do nap 0.01; done
    burst "$port"
    kill "$listener"
    wait "$listener" 2>/dev/null || true
}

# Also sets `differ`: files missing or not byte-exact.
orbtray_run() {
    local port data
    port=$(free_port)
    data="$work/data"
    start_orbtray "$data" "$port"
    burst "$port"
    # many_clients has seen every connection closed, so only a lost one leaves a file missing.
    until (($(count_lines "$work/orbtray.out" "^File Received") >= instruments - reset)); do
        nap 0.01
    done
    stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }
    differ=$(count_differing "$data")
    rm -rf "$data"
}

# The two receivers take turns, so that a slow spell of the machine hits both alike.
socat_times=()
orbtray_times=()
lost=0
for ((run = 1; run <= runs; run++)); do
    socat_run
    socat_times+=("$slowest")
    lost=$((lost + reset))
    orbtray_run
    orbtray_times+=("$slowest")
    lost=$((lost + differ))
    echo "run $run: slowest connect socat ${socat_times[-1]} ms, orbtray ${orbtray_times[-1]} ms" \
        "($reset connections reset, $differ files missing or different)"
done
socat_worst=$(worst "${socat_times[@]}")
orbtray_worst=$(worst "${orbtray_times[@]}")
socat_median=$(median "${socat_times[@]}")
orbtray_median=$(median "${orbtray_times[@]}")

echo
echo "$instruments connects issued at once, $lines_each readings each ($runs runs each, taking turns)"
echo "baseline socat: slowest connect median $socat_median ms, worst $socat_worst ms"
echo "orbtray:        slowest connect median $orbtray_median ms, worst $orbtray_worst ms (target: worst < 100 ms)"
echo "ratio orbtray/socat slowest connect: median $(calc "%.2f" "o / s" -v o="$orbtray_median" -v s="$socat_median")," \
    "worst $(calc "%.2f" "o / s" -v o="$orbtray_worst" -v s="$socat_worst");" \
    "worst / 100 ms target: $(calc "%.2f" "o / 100" -v o="$orbtray_worst") (< 1)"
((lost == 0)) || { echo "bench: $lost connections or files lost" >&2; exit 1; }
