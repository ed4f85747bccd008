#!/usr/bin/env bash
# Installs, uses and uninstalls the setup program under Wine, as a user would, and checks what
# each step leaves behind:
#   run-setup-test.sh <OrbTray-Setup.exe> <version> <orbtray.exe> <orbsim.exe>
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/wine-session.sh"

setup=$(realpath "$1")
version=$2
orbtray=$(realpath "$3")
orbsim=$(realpath "$4")
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
run=$(dirname "$setup")/setup-run
wine_session_start "$run"

fail() {
    echo "wine_setup: $*" >&2
    exit 1
}
step() { echo "wine_setup: $*"; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1 tries
    shift
    for ((tries = 0; tries < seconds * 10; tries++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
listening() { [ -n "$(ss -Hltn 'sport = :9393')" ]; }
not_listening() { ! listening; }
gone() { [ ! -e "$1" ]; }
# The values of a key as "name<tab>type<tab>data" lines; nothing when the key does not exist.
values() { wine reg query "$1" 2>/dev/null | tr -d '\r' | sed -nE 's/^    (.*)    (REG_[A-Z_]+)    (.*)$/\1\t\2\t\3/p'; }

program_dir='C:\Program Files\Orbalinex Transfer'
program_dir_unix="$WINEPREFIX/drive_c/Program Files/Orbalinex Transfer"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Orbalinex Transfer.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\OrbTray'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
settings_key='HKCU\Software\Orbalinex\OrbTray'

start_installed() {
    wine "$program_dir\\orbtray.exe" auto >>"$run/orbtray.log" 2>&1 &
    wait_for 30 listening || fail "the installed orbtray.exe does not listen on 9393"
}

# orbtray.exe would otherwise stop at start-up to install the USB driver.
bash "$here/fake-driver.sh"

step "silent install"
timeout 120 wine "$setup" /S || fail "the setup program failed"
cmp "$orbtray" "$program_dir_unix/orbtray.exe" || fail "orbtray.exe is not installed as built"
[ -f "$program_dir_unix/uninstall.exe" ] || fail "no uninstall.exe"
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
listed=$(values "$uninstall_key")
while IFS=$'\t' read -r name type data; do
    grep -qxF "$name"$'\t'"$type"$'\t'"$data" <<<"$listed" ||
        fail "Add/Remove Programs: expected $name $type '$data', the key holds:"$'\n'"$listed"
done <<EXPECTED
DisplayName	REG_SZ	Orbalinex Transfer
DisplayVersion	REG_SZ	$version
Publisher	REG_SZ	Orbalinex
UninstallString	REG_SZ	"$program_dir\\uninstall.exe"
QuietUninstallString	REG_SZ	"$program_dir\\uninstall.exe" /S
EXPECTED

step "the installed program receives a transfer"
start_installed
# Stored lines end in CR LF, so these bytes come back unchanged.
printf 'time,depth\r\n2024-05-01 10:00:00,1.25\r\n2024-05-01 10:00:01,1.5\r\n' >"$run/readings.csv"
timeout 60 wine "$orbsim" send --tcp 127.0.0.1 --serial SETUP-7 "$(windows_path "$run/readings.csv")" ||
    fail "orbsim.exe could not deliver"
received=("$WINEPREFIX"/drive_c/users/*/AppData/Local/Orbalinex/Data/SETUP-7/*.csv)
[ ${#received[@]} -eq 1 ] && [ -f "${received[0]}" ] || fail "not one received file: ${received[*]}"
cmp "$run/readings.csv" "${received[0]}" || fail "the received file differs from the one sent"

step "installing again over the running program"
timeout 120 wine "$setup" /S || fail "the setup program failed over a running orbtray.exe"
wait_for 5 not_listening || fail "the setup program left the old orbtray.exe running"
cmp "$orbtray" "$program_dir_unix/orbtray.exe" || fail "orbtray.exe not replaced"

step "silent uninstall of the running program"
start_installed
wine reg add "$run_key" /v OrbTray /t REG_SZ /d "\"$program_dir\\orbtray.exe\" auto" /f >/dev/null
wine reg add "$settings_key" /v ShowText /t REG_DWORD /d 1 /f >/dev/null
[ -n "$(values "$run_key" | grep '^OrbTray')" ] && [ -n "$(values "$settings_key")" ] ||
    fail "could not prepare the Run entry and the settings"
# The uninstaller copies itself to the temporary folder, starts the copy and returns at once;
# the copy removes the program folder last.
wine "$program_dir\\uninstall.exe" /S || fail "uninstall.exe failed"
wait_for 60 gone "$program_dir_unix" || fail "the program folder is still there: $(ls "$program_dir_unix")"
not_listening || fail "orbtray.exe still runs after the uninstall"
gone "$shortcut" || fail "the Start-menu shortcut is still there"
[ -z "$(values "$uninstall_key")" ] || fail "still listed in Add/Remove Programs"
[ -z "$(values "$run_key" | grep '^OrbTray')" ] || fail "the Run entry is still there"
wine reg query "$settings_key" >/dev/null 2>&1 && fail "the settings key is still there"
cmp "$run/readings.csv" "${received[0]}" || fail "the uninstall took the received file"
step "passed"
