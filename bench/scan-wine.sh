#!/usr/bin/env bash
# How fast the File Transfers window of orbtray.exe, under Wine, rebuilds its list of a large
# Data folder: the tree of bench/scan.sh (20,000 .csv files in 200 serial folders), timed by
# refresh_timer from the Refresh command to the last row in the list control. Target: under 1 s.
# The optimised Windows build is measured, in a fresh Wine prefix under Xvfb, warm cache, best of
# RUNS refreshes.
#
#   bench/scan-wine.sh     (FOLDERS=200 FILES_PER_FOLDER=100 RUNS=7 by default)
#
# ORBTRAY_SCAN_DATA names a tree to use as it is (bench/scan.sh passes its own);
# ORBTRAY_WIN_BUILD_DIR a Windows build (with -DORBTRAY_BENCH=ON) to measure unbuilt.
set -euo pipefail
# A fresh prefix, an X display and, where the system allows, a network of the run's own, so that
# neither the developer's ~/.wine nor a receiver already on port 9393 plays a part.
# shellcheck source=tests/wine/wine-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tests/wine/wine-session.sh"
# shellcheck source=bench/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
folders=${FOLDERS:-200}
per_folder=${FILES_PER_FOLDER:-100}
runs=${RUNS:-7}

win_build=${ORBTRAY_WIN_BUILD_DIR:-$repo/build/windows-release}
if [[ -z ${ORBTRAY_WIN_BUILD_DIR:-} ]]; then
    # The toolchain is fixed when the build is first configured; naming it again only warns.
    toolchain=()
    [[ -f $win_build/CMakeCache.txt ]] || toolchain=(--toolchain cmake/toolchain-mingw-w64.cmake)
    (cd "$repo" &&
        cmake -S . -B "$win_build" -G Ninja "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release \
            -DORBTRAY_TESTS=OFF -DORBTRAY_BENCH=ON &&
        cmake --build "$win_build" --target orbtray refresh_timer) >/dev/null
fi
orbtray_exe=$win_build/src/app/orbtray.exe
refresh_timer=$win_build/bench/refresh_timer.exe
[[ -f $orbtray_exe && -f $refresh_timer ]] ||
    { echo "bench: orbtray.exe or refresh_timer.exe missing in $win_build" >&2; exit 1; }

data=${ORBTRAY_SCAN_DATA:-}
if [[ -z $data ]]; then
    data=$work/Data
    perl "$repo/bench/scan-tree.pl" "$data" "$folders" "$per_folder"
fi
# What the window must list: every .csv, in any case, one level below the Data folder.
files=$(find "$data" -mindepth 2 -maxdepth 2 -type f -iname '*.csv' | wc -l)

wine_session_start "$work/wine"
trap 'wine_session_end; cleanup' EXIT
wineserver -w
# orbtray.exe would otherwise stop at start-up to install the USB driver.
bash "$repo/tests/wine/fake-driver.sh"
wine reg add 'HKCU\Software\Orbalinex\OrbTray' /v DataFolder /t REG_SZ \
    /d "$(winepath -w "$data")\\" /f >/dev/null 2>&1

# Without "auto" the window opens, and fills its list, at start.
wine "$orbtray_exe" >"$work/orbtray.out" 2>&1 &
echo "Data folder: $files .csv files ($data)"
wine "$refresh_timer" "$runs" "$files"
