#!/usr/bin/env bash
# Draws the pictures of orbtray.exe for the documentation, under Wine on an X display of its own:
#   docs/file-transfers.png  the File Transfers window with a few received files
#   docs/tray-menu.png       the tray icon with its menu open
#   scripts/screenshots.sh [windows build directory, default build/windows]
# Build the windows preset first. A scratch Wine prefix holds the run; orbsim.exe sends the files
# over 127.0.0.1, in a network namespace of the script's own where the system allows one, so that
# a receiver already running on this machine cannot take them.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tests/wine/wine-session.sh"
build=$(realpath "${1:-$root/build/windows}")
orbtray=$build/src/app/orbtray.exe
orbsim=$build/tools/orbsim/orbsim.exe
for file in "$orbtray" "$orbsim"; do
    [ -f "$file" ] || { echo "screenshots: no $file; build the windows preset first" >&2; exit 1; }
done
for tool in xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "screenshots: no $tool; see scripts/install-deps.sh" >&2; exit 1; }
done

scratch=$(mktemp -d)
wine_session_start "$scratch"
trap 'wine_session_end; rm -rf "$scratch"' EXIT
# orbtray.exe would otherwise stop at start-up to install the USB driver.
bash "$root/tests/wine/fake-driver.sh"
# Wine's own fonts, Marlett among them for the caption buttons, are not found where Debian puts
# them; the prefix's font folder is always searched.
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
# With no window manager on the display, Wine draws the caption and frame itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1

wine "$orbtray" >/dev/null 2>&1 &
window=$(timeout 60 xdotool search --sync --name '^Orbalinex Transfers$' | head -n 1)

# A few transfers, each in a second of its own, as instruments deliver them over a morning.
send() {
    local serial=$1
    shift
    printf '%s\n' "$@" >"$scratch/$serial.txt"
    wine "$orbsim" send --tcp 127.0.0.1 --serial "$serial" "Z:${scratch//\//\\}\\$serial.txt" >/dev/null
    sleep 1.1
}
send OBX-20417 "21.4,0.82,1013" "21.6,0.80,1013" "21.9,0.79,1012"
send OBX-20417 "22.0,0.77,1012" "22.3,0.75,1012"
send OBX-31502 "18.9,0.91,1015" "19.0,0.90,1015" "19.2,0.90,1014" "19.3,0.89,1014"
send OBX-10088 "20.1,0.85,1011"
sleep 1

mkdir -p "$root/docs"
import -window "$window" "$root/docs/file-transfers.png"

# The balloon of the last file sits where the menu opens; it goes after its time-out.
sleep 12
# The tray menu opens on the right button going down over the icon, at the mouse.
tray=$(xdotool search --name '^Wine System Tray$' | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove $((X + 10)) $((Y + 10)) mousedown 3
sleep 1.5
import -window root "$scratch/screen.png"
xdotool key Escape mouseup 3
# Up to the File Transfers window, which stands further right and lower.
convert "$scratch/screen.png" -crop 176x168+0+0 +repage "$root/docs/tray-menu.png"
echo "screenshots: docs/file-transfers.png docs/tray-menu.png"
