#!/usr/bin/env bash
# Runs orbtray_wine_app_tests under Wine against the real orbtray.exe:
#   run-app-tests.sh <orbtray_wine_app_tests.exe> <orbtray.exe> <orbsim.exe> <probe.dll> [gtest options]
#
# It gives the test what a user's PC would: a new Wine prefix of its own (so the first start sees
# no settings, and the file associations the test registers stay there), an X display of its own
# on Xvfb for the windows, menus and Wine's system tray, and a time zone half an hour off whole
# hours, so that a time shown in local time instead of UTC cannot go unnoticed.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/wine-session.sh"

tests=$(realpath "$1")
orbtray=$(realpath "$2")
orbsim=$(realpath "$3")
probe=$(realpath "$4")
shift 4
run=$(dirname "$tests")/app-run
export TZ=America/St_Johns
# The user's date and time formats follow the locale; the test expects the US ones.
export LC_ALL=C.UTF-8 LANG=C.UTF-8
wine_session_start "$run"
# orbtray.exe would otherwise stop at start-up to install the USB driver.
bash "$(dirname "${BASH_SOURCE[0]}")/fake-driver.sh"

status=0
ORBTRAY_EXE=$(windows_path "$orbtray") ORBSIM_EXE=$(windows_path "$orbsim") \
    ORBTRAY_PROBE=$(windows_path "$probe") \
    timeout -k 10 240 wine "$tests" "$@" || status=$?
exit "$status"
