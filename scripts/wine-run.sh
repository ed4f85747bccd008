#!/usr/bin/env bash
# Runs one Windows program under Wine for ctest. A private Wine prefix under build/ keeps the
# developer's own ~/.wine untouched; its first creation is serialised so that parallel tests do
# not race to create it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    (
        flock 9
        [ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1 || true; wineserver -w || true; }
    ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
