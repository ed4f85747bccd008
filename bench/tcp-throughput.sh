#!/usr/bin/env bash
# One instrument sends a 1,000,000-line file over loopback. Figure: seconds from the connect to
# the final .csv, against a baseline that receives the same byte stream into a file with socat.
#
# Both receivers get the identical pre-encoded stream (HELLO, a LINE per line, BYE) from the same
# plain socat client rather than from orbsim: the client then costs both sides exactly the same,
# and neither figure depends on how orbsim reads, splits and paces a file.
#
#   bench/tcp-throughput.sh          (LINES_TOTAL=1000000 RUNS=7 by default; best and median)
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
lines=${LINES_TOTAL:-1000000}
runs=${RUNS:-7}
ensure_release_build

serial=OX10001
awk -v sn="$serial" -v count="$lines" -v csv="$work/expected.csv" -v stream="$work/stream" "
    BEGIN {
        printf \"HELLO %s\\r\\n\", sn > stream
        for (n = 0; n < count; n++) {
            line = $reading_awk
            printf \"%s\\r\\n\", line > csv
            printf \"LINE %s\\r\\n\", line > stream
        }
        printf \"BYE\\r\\n\" > stream
    }"
bytes=$(stat -c %s "$work/stream")
mb=$(calc "%.1f" "b / 1e6" -v b="$bytes")

send() { socat -b 262144 -u "OPEN:$work/stream,rdonly" "TCP:127.0.0.1:$1"; }

# Baseline: socat writes what arrives to a file and exits at the end of the stream.
socat_run() {
    local port listener start
    port=$(free_port)
    rm -f "$work/socat.out"
    socat -b 262144 -u "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" "OPEN:$work/socat.out,creat" &
    listener=$!
    until [[ -n $(ss -Htln "sport = :$port") ]]; do nap 0.01; done
    start=$(now_ns)
    send "$port"
    wait "$listener"
    seconds=$(elapsed "$start" "$(now_ns)")
    cmp -s "$work/stream" "$work/socat.out" || { echo "bench: socat's copy differs" >&2; exit 1; }
    rm -f "$work/socat.out"
}

orbtray_run() {
    local port data client start
    port=$(free_port)
    data="$work/data"
    start_orbtray "$data" "$port"
    start=$(now_ns)
    send "$port" &
    client=$!
    # The .csv exists only once the last line is on the disk and the file renamed.
    until compgen -G "$data/$serial/*.csv" >/dev/null; do nap 0.002; done
    seconds=$(elapsed "$start" "$(now_ns)")
    wait "$client"
    stop_orbtray || { echo "bench: orbtray exited with $?" >&2; exit 1; }
    cmp -s "$work/expected.csv" "$data/$serial/"*.csv || { echo "bench: stored file differs" >&2; exit 1; }
    rm -rf "$data"
}

# The two receivers take turns, so that a slow spell of the machine hits both alike.
socat_times=()
orbtray_times=()
for ((run = 1; run <= runs; run++)); do
    socat_run
    socat_times+=("$seconds")
    orbtray_run
    orbtray_times+=("$seconds")
    echo "run $run: socat ${socat_times[-1]} s, orbtray ${orbtray_times[-1]} s"
done
socat_best=$(best "${socat_times[@]}")
orbtray_best=$(best "${orbtray_times[@]}")
socat_median=$(median "${socat_times[@]}")
orbtray_median=$(median "${orbtray_times[@]}")

socat_rate=$(calc "%.1f" "m / s" -v m="$mb" -v s="$socat_best")
orbtray_rate=$(calc "%.1f" "m / s" -v m="$mb" -v s="$orbtray_best")
echo
echo "stream: $lines lines, $mb MB ($runs runs each, taking turns)"
echo "baseline socat to file: best $socat_best s ($socat_rate MB/s), median $socat_median s"
echo "orbtray to .csv:        best $orbtray_best s ($orbtray_rate MB/s), median $orbtray_median s (includes its fsync at BYE)"
echo "ratio orbtray/socat throughput: best $(calc "%.2f" "s / o" -v o="$orbtray_best" -v s="$socat_best"), median $(calc "%.2f" "s / o" -v o="$orbtray_median" -v s="$socat_median") (target >= 0.5)"
