# Sourced by the scripts that run orbtray.exe under Wine as a user's PC would: a new Wine prefix
# (so the first start sees no settings), an X display of its own on Xvfb for the windows, menus and
# Wine's system tray, and a network of its own. The sourcing script calls
#   wine_session_start <run folder>
# after reading its arguments; the session ends with the script.

# The instruments' port 9393 is the machine's: a developer's own orbtray, or another Wine test,
# may hold it, and orbsim would then deliver to that one. A network namespace of the run's own,
# with nothing but its loopback, gives this run a port 9393 of its own. Sourced before the script
# reads its arguments, so that they are still all there to pass on.
if [ -z "${ORBTRAY_OWN_NETWORK:-}" ] && unshare -n true 2>/dev/null; then
    ORBTRAY_OWN_NETWORK=1 exec unshare -n bash "$0" "$@"
fi
[ -z "${ORBTRAY_OWN_NETWORK:-}" ] || ip link set lo up

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# The programs see the build tree through Wine's Z: drive.
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

wine_session_xvfb_pid=""
wine_session_end() {
    # Ends orbtray.exe too, which would otherwise keep port 9393 from everyone else.
    wineserver -k 2>/dev/null || true
    [ -z "$wine_session_xvfb_pid" ] || {
        kill "$wine_session_xvfb_pid" 2>/dev/null
        wait "$wine_session_xvfb_pid" 2>/dev/null
    } || true
}

wine_session_start() {
    local run=$1 me tool tries
    me=$(basename "$0" .sh)
    export WINEPREFIX=$run/wineprefix
    for tool in wine wineboot wineserver Xvfb ss ip timeout; do
        command -v "$tool" >/dev/null || { echo "$me: no $tool; see scripts/install-deps.sh" >&2; exit 1; }
    done
    trap wine_session_end EXIT

    # A session left over from an interrupted run, then a prefix nobody has used.
    [ ! -d "$WINEPREFIX" ] || wineserver -k 2>/dev/null || true
    rm -rf "$run" && mkdir -p "$run"

    # Another program's receiver, say a developer's own orbtray, may be about to end: wait a little.
    for ((tries = 0; tries < 120; tries++)); do
        [ -n "$(ss -Hltun 'sport = :9393')" ] || break
        sleep 0.5
    done
    if [ -n "$(ss -Hltun 'sport = :9393')" ]; then
        echo "$me: port 9393 is taken; orbtray.exe could not receive:" >&2
        ss -ltunp 'sport = :9393' >&2 || true
        exit 1
    fi

    # Xvfb picks a free display and writes its number to the file.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$run/display" 2>"$run/xvfb.log" &
    wine_session_xvfb_pid=$!
    timeout 20 bash -c 'until [ -s "$1" ]; do sleep 0.05; done' _ "$run/display" ||
        { echo "$me: Xvfb did not start" >&2; cat "$run/xvfb.log" >&2; exit 1; }
    export DISPLAY=:$(head -n 1 "$run/display")

    wineboot -i >"$run/wineboot.log" 2>&1 || true
}
