#!/usr/bin/env bash
# Runs orbtray_wine_com_tests under Wine against a pretend CP210x bridge: fake devices in the
# registry for the port scan, and COM5 mapped to a pty whose far end instrument.sh plays.
#   run-com-tests.sh <orbtray_wine_com_tests.exe> [gtest options]
#
# The Wine prefix is this test's own, beside the program, rather than the one the other Windows
# tests share: the fake devices and the COM5 mapping stay out of their registry, and the Wine
# session can be ended here without ending theirs.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: run-com-tests.sh <orbtray_wine_com_tests.exe> [gtest options]" >&2
    exit 2
fi
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_run=$here/../../scripts/wine-run.sh
build=$(dirname "$exe")
run=$build/com-run
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}

for tool in cc socat timeout wine wineserver; do
    if ! command -v "$tool" >/dev/null; then
        echo "run-com-tests: $tool not found; scripts/install-deps.sh installs it" >&2
        exit 1
    fi
done

# The same file as Wine's Windows programs see it, through the Z: drive.
windows_path() {
    printf 'Z:%s' "${1//\//\\}"
}

socat_pid=""
shim_dir=$(mktemp -d)
cleanup() {
    # Also ends a test program that hangs, with every Windows process of the session.
    wineserver -k 2>/dev/null || true
    if [ -n "$socat_pid" ]; then
        kill "$socat_pid" 2>/dev/null || true
        wait "$socat_pid" 2>/dev/null || true
    fi
    rm -f "$WINEPREFIX/dosdevices/com5" "$run/com5"
    rm -rf "$shim_dir"
}
trap cleanup EXIT

# A session left over from an interrupted run would still hold the old pty.
if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
fi
rm -rf "$run"
mkdir -p "$run"

# Built in a temporary directory: LD_PRELOAD splits its list at spaces and colons, which a build
# path may hold.
shim=$shim_dir/tiocmget_shim.so
cc -shared -fPIC -O2 -o "$shim" "$here/tiocmget_shim.c" -ldl

# Creates the prefix on the first run, without starting a session.
"$wine_run" --version >/dev/null
# One session for the whole run, ended by the cleanup; otherwise each Wine program would start
# and end one of its own. Its server writes to a log of its own: once the program has opened the
# pty, the pty is the server's controlling terminal, and when it hangs up the server dumps every
# object it holds to its standard error.
wineserver -p 2>>"$run/wineserver.log"

# Registry values are simply overwritten, so a second run finds the same devices.
reg_add() {
    "$wine_run" reg add "$1" /v "$2" /t REG_SZ /d "$3" /f >/dev/null
}
enum='HKLM\System\CurrentControlSet\Enum'
ports_class='{4D36E978-E325-11CE-BFC1-08002BE10318}'
usb_class='{36FC9E60-C465-11CF-8056-444553540000}'
bridge='Silicon Labs CP210x USB to UART Bridge'
reg_add "$enum\\USB\\VID_10C4&PID_EA60\\0001" ClassGUID "$ports_class"
reg_add "$enum\\USB\\VID_10C4&PID_EA60\\0001" FriendlyName "$bridge (COM5)"
reg_add "$enum\\USB\\VID_10C4&PID_EA60\\0002" ClassGUID "$ports_class"
reg_add "$enum\\USB\\VID_10C4&PID_EA60\\0002" FriendlyName "$bridge"
reg_add "$enum\\USB\\VID_10C4&PID_EA60\\0003" ClassGUID "$usb_class"
reg_add "$enum\\USB\\VID_10C4&PID_EA60\\0003" FriendlyName "$bridge (COM9)"
reg_add "$enum\\USB\\VID_10C4&PID_EA60\\0004" ClassGUID "$ports_class"
reg_add "$enum\\ACPI\\PNP0501\\1" ClassGUID "$ports_class"
reg_add "$enum\\ACPI\\PNP0501\\1" FriendlyName "Communications Port (COM1)"
# Wine maps COM ports afresh whenever a session starts, numbering the host's serial devices
# from COM1; a port named here keeps its number, so COM5 stays the pty on hosts with many.
reg_add 'HKLM\Software\Wine\Ports' COM5 "$run/com5"
# For this session, which mapped its ports before the value existed on a first run.
ln -sfn "$run/com5" "$WINEPREFIX/dosdevices/com5"

export INSTRUMENT_READY=$run/ready
export INSTRUMENT_RECORD=$run/record
export INSTRUMENT_SCRIPT=$here/instrument.sh
# socat hands the command to sh, which expands the variable.
# shellcheck disable=SC2016
socat PTY,raw,echo=0,link="$run/com5" SYSTEM:'exec bash "$INSTRUMENT_SCRIPT"' \
    2>"$run/socat.log" &
socat_pid=$!
for ((tries = 0; tries < 200; tries++)); do
    [ -L "$run/com5" ] && break
    sleep 0.05
done
if [ ! -L "$run/com5" ]; then
    echo "run-com-tests: socat made no pty" >&2
    cat "$run/socat.log" >&2
    exit 1
fi

# Wine does the serial requests in the program's own process, so that is where the shim goes.
set +e
ORBTRAY_COM_READY=$(windows_path "$run/ready") \
    ORBTRAY_COM_RECORD=$(windows_path "$run/record") \
    LD_PRELOAD=$shim \
    timeout -k 10 180 "$wine_run" "$exe" "$@"
status=$?
set -e

if [ "$status" -ne 0 ] && [ -s "$run/socat.log" ]; then
    echo "--- socat:" >&2
    cat "$run/socat.log" >&2
fi
exit "$status"
