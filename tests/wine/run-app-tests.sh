#!/usr/bin/env bash
# Runs orbtray_wine_app_tests under Wine against the real orbtray.exe:
#   run-app-tests.sh <orbtray_wine_app_tests.exe> <orbtray.exe> <orbsim.exe> <probe.dll> [gtest options]
#
# It gives the test what a user's PC would: a new Wine prefix of its own (so the first start sees
# no settings, and the file associations the test registers stay there), an X display of its own
# on Xvfb for the windows, menus and Wine's system tray, and a time zone half an hour off whole
# hours, so that a time shown in local time instead of UTC cannot go unnoticed.
set -euo pipefail

# The instruments' port 9393 is the machine's: a developer's own orbtray, or another Wine test,
# may hold it, and orbsim would then deliver to that one. A network namespace of the run's own,
# with nothing but its loopback, gives this run a port 9393 of its own.
if [ -z "${ORBTRAY_OWN_NETWORK:-}" ] && unshare -n true 2>/dev/null; then
    ORBTRAY_OWN_NETWORK=1 exec unshare -n bash "${BASH_SOURCE[0]}" "$@"
fi
[ -z "${ORBTRAY_OWN_NETWORK:-}" ] || ip link set lo up

tests=$(realpath "$1")
orbtray=$(realpath "$2")
orbsim=$(realpath "$3")
probe=$(realpath "$4")
shift 4
run=$(dirname "$tests")/app-run
export WINEPREFIX=$run/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export TZ=America/St_Johns
# The user's date and time formats follow the locale; the test expects the US ones.
export LC_ALL=C.UTF-8 LANG=C.UTF-8

for tool in wine wineboot wineserver Xvfb ss ip timeout; do
    command -v "$tool" >/dev/null || { echo "run-app-tests: no $tool; see scripts/install-deps.sh" >&2; exit 1; }
done

xvfb_pid=""
cleanup() {
    # Ends orbtray.exe too, which would otherwise keep port 9393 from everyone else.
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; } || true
}
trap cleanup EXIT

# A session left over from an interrupted run, then a prefix nobody has used.
[ ! -d "$WINEPREFIX" ] || wineserver -k 2>/dev/null || true
rm -rf "$run" && mkdir -p "$run"

# Another program's receiver, say a developer's own orbtray, may be about to end: wait a little.
for ((tries = 0; tries < 120; tries++)); do
    [ -n "$(ss -Hltun 'sport = :9393')" ] || break
    sleep 0.5
done
if [ -n "$(ss -Hltun 'sport = :9393')" ]; then
    echo "run-app-tests: port 9393 is taken; orbtray.exe could not receive:" >&2
    ss -ltunp 'sport = :9393' >&2 || true
    exit 1
fi

# Xvfb picks a free display and writes its number to the file.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$run/display" 2>"$run/xvfb.log" &
xvfb_pid=$!
timeout 20 bash -c 'until [ -s "$1" ]; do sleep 0.05; done' _ "$run/display" ||
    { echo "run-app-tests: Xvfb did not start" >&2; cat "$run/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$run/display")

wineboot -i >"$run/wineboot.log" 2>&1 || true
# orbtray.exe would otherwise stop at start-up to install the USB driver.
bash "$(dirname "${BASH_SOURCE[0]}")/fake-driver.sh"

# The programs see the build tree through Wine's Z: drive.
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }
status=0
ORBTRAY_EXE=$(windows_path "$orbtray") ORBSIM_EXE=$(windows_path "$orbsim") \
    ORBTRAY_PROBE=$(windows_path "$probe") \
    timeout -k 10 240 wine "$tests" "$@" || status=$?
exit "$status"
