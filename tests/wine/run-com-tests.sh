#!/usr/bin/env bash
# Runs orbtray_wine_com_tests under Wine against a pretend CP210x bridge: fake devices in the
# registry for the port scan, and COM5 mapped to a pty whose far end instrument.sh plays.
#   run-com-tests.sh <orbtray_wine_com_tests.exe> [gtest options]
#
# The Wine prefix is this test's own, beside the program: the fake devices and the COM5 mapping
# stay out of the other Windows tests' registry, and its session can be ended without theirs.
set -euo pipefail

exe=$(realpath "$1")
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_run=$here/../../scripts/wine-run.sh
run=$(dirname "$exe")/com-run
export WINEPREFIX=${exe%/*}/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}

for tool in cc socat timeout wine wineserver; do
    command -v "$tool" >/dev/null || { echo "run-com-tests: no $tool; see scripts/install-deps.sh" >&2; exit 1; }
done

socat_pid=""
shim_dir=$(mktemp -d)
cleanup() {
    # Also ends a test program that hangs, with every Windows process of the session.
    wineserver -k 2>/dev/null || true
    [ -z "$socat_pid" ] || { kill "$socat_pid" 2>/dev/null; wait "$socat_pid" 2>/dev/null; } || true
    rm -rf "$WINEPREFIX/dosdevices/com5" "$run/com5" "$shim_dir"
}
trap cleanup EXIT

# A session left over from an interrupted run would still hold the old pty.
[ ! -d "$WINEPREFIX" ] || wineserver -k 2>/dev/null || true
rm -rf "$run" && mkdir -p "$run"

# Built in a temporary directory: LD_PRELOAD splits its list at spaces and colons, which a build
# path may hold.
shim=$shim_dir/tiocmget_shim.so
cc -shared -fPIC -O2 -o "$shim" "$here/tiocmget_shim.c" -ldl

# Creates the prefix on the first run. Then one session for the whole run, ended by the cleanup.
# Its server logs to a file: once the program has opened the pty, the pty is the server's
# controlling terminal, and when it hangs up the server dumps every object it holds there.
"$wine_run" --version >/dev/null
wineserver -p 2>>"$run/wineserver.log"

# Registry values are simply overwritten, so a second run finds the same devices.
reg_add() {
    "$wine_run" reg add "$1" /v "$2" /t REG_SZ /d "$3" /f >/dev/null
}
# A device: its key, its class and, if it has one, its friendly name.
device() {
    reg_add "$1" ClassGUID "$2"
    [ -z "${3-}" ] || reg_add "$1" FriendlyName "$3"
}
enum='HKLM\System\CurrentControlSet\Enum'
cp210x="$enum\\USB\\VID_10C4&PID_EA60"
ports='{4D36E978-E325-11CE-BFC1-08002BE10318}'
bridge='Silicon Labs CP210x USB to UART Bridge'
device "$cp210x\\0001" "$ports" "$bridge (COM5)"
device "$cp210x\\0002" "$ports" "$bridge"
device "$cp210x\\0003" '{36FC9E60-C465-11CF-8056-444553540000}' "$bridge (COM9)"  # USB class
device "$cp210x\\0004" "$ports"
device "$enum\\ACPI\\PNP0501\\1" "$ports" "Communications Port (COM1)"
# Wine numbers the host's serial devices from COM1 whenever its server starts; a port named here
# keeps its number. The link is for a server already running, which mapped its ports before a
# first run wrote the value.
reg_add 'HKLM\Software\Wine\Ports' COM5 "$run/com5"
ln -sfn "$run/com5" "$WINEPREFIX/dosdevices/com5"

export INSTRUMENT_READY=$run/ready INSTRUMENT_RECORD=$run/record
export INSTRUMENT_SCRIPT=$here/instrument.sh
# socat hands the command to sh, which expands the variable.
# shellcheck disable=SC2016
socat PTY,raw,echo=0,link="$run/com5" SYSTEM:'exec bash "$INSTRUMENT_SCRIPT"' \
    2>"$run/socat.log" &
socat_pid=$!
timeout 10 bash -c 'until [ -L "$1" ]; do sleep 0.05; done' _ "$run/com5" ||
    { echo "run-com-tests: socat made no pty" >&2; cat "$run/socat.log" >&2; exit 1; }

# Wine does the serial requests in the program's own process, so that is where the shim goes.
# The paths are handed over as the program sees them, through the Z: drive.
status=0
ORBTRAY_COM_READY="Z:${run//\//\\}\\ready" ORBTRAY_COM_RECORD="Z:${run//\//\\}\\record" \
    LD_PRELOAD=$shim timeout -k 10 180 "$wine_run" "$exe" "$@" || status=$?
[ "$status" -eq 0 ] || [ ! -s "$run/socat.log" ] ||
    { echo "--- socat:" >&2; cat "$run/socat.log" >&2; }
exit "$status"
