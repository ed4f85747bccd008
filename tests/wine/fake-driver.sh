#!/usr/bin/env bash
# Makes the Wine prefix in $WINEPREFIX look like a PC with the CP210x driver installed, as
# orbtray.exe checks it at start: the silabser service key whose DisplayName names the INF file
# that Windows installed it from, and that INF file in the Windows INF folder. Without both,
# orbtray.exe stops at start-up to offer the driver installation.
#   WINEPREFIX=... tests/wine/fake-driver.sh           register the driver
#   WINEPREFIX=... tests/wine/fake-driver.sh --remove  take it away again
# The prefix must exist already (wineboot -i).
set -euo pipefail

: "${WINEPREFIX:?fake-driver: set WINEPREFIX to the Wine prefix to prepare}"
[ -d "$WINEPREFIX/drive_c/windows" ] || { echo "fake-driver: $WINEPREFIX is no Wine prefix" >&2; exit 1; }
export WINEDEBUG=${WINEDEBUG:--all}

key='HKLM\SYSTEM\CurrentControlSet\Services\silabser'
inf_dir=$WINEPREFIX/drive_c/windows/inf
inf=$inf_dir/oem7.inf

if [ "${1:-}" = --remove ]; then
    wine reg delete "$key" /f >/dev/null 2>&1 || true
    rm -f "$inf"
    exit 0
fi

# orbtray.exe reads the 64-bit view of the registry, which is the one the 64-bit reg.exe writes.
wine reg add "$key" /v DisplayName /t REG_SZ \
    /d '@oem7.inf,%silabser.svcdesc%;Silicon Labs CP210x USB to UART Bridge' /f >/dev/null 2>&1
mkdir -p "$inf_dir"
printf '; Placed by the tests: only its presence counts.\r\n[Version]\r\nSignature="$WINDOWS NT$"\r\n' >"$inf"
