#!/usr/bin/env bash
# Builds the .deb from this build tree and checks what a user gets from it: its files, its
# control fields, the systemd unit, the man pages, and that the programs it carries receive a
# transfer when unpacked on this system.
#   check-deb.sh <build folder> <version>
set -euo pipefail
build=$(realpath "$1")
version=$2
work=$build/deb-test
rm -rf "$work" && mkdir -p "$work"

fail() {
    echo "deb_package: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$work/orbtray_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $(basename "$deb"): $(ls "$work")"

# Exactly these files, nothing the build or the tests might also install.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected=$(sort <<'FILES'
./usr/bin/orbsim
./usr/bin/orbtray
./usr/lib/systemd/user/orbtray.service
./usr/share/man/man1/orbsim.1.gz
./usr/share/man/man1/orbtray.1.gz
FILES
)
[ "$files" = "$expected" ] || fail "the package holds:"$'\n'"$files"
modes=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ && $6 ~ /^\.\/usr\/bin\// { print $1 }' | sort -u)
[ "$modes" = "-rwxr-xr-x" ] || fail "the programs' modes: $modes"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orbtray ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
# The dependencies are those dpkg-shlibdeps finds for the programs.
depends=$(field Depends | tr ',' '\n' | awk '{ print $1 }')
for library in libc6 libstdc++6; do
    grep -qxF "$library" <<<"$depends" || fail "Depends lacks $library: $(field Depends)"
done

# What apt would do with it here: every dependency met by this system's packages.
if command -v apt-get >/dev/null; then
    apt-get install -s "$deb" >"$work/apt.log" 2>&1 && grep -q '^Inst orbtray ' "$work/apt.log" ||
        { cat "$work/apt.log" >&2; fail "apt-get would not install it"; }
fi

root=$work/root
dpkg-deb -x "$deb" "$root"
unit=$root/usr/lib/systemd/user/orbtray.service
while read -r line; do
    grep -qxF "$line" "$unit" || fail "the unit lacks '$line'"
done <<'LINES'
Type=simple
ExecStart=/usr/bin/orbtray
Restart=on-failure
KillSignal=SIGTERM
TimeoutStopSec=15
WantedBy=default.target
LINES
if command -v systemd-analyze >/dev/null; then
    # verify wants ExecStart's program in place: the copy names the unpacked one. A line it
    # cannot parse is only a warning to it, so any output fails.
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/orbtray.service"
    systemd-analyze verify --man=no "$work/orbtray.service" >"$work/verify.log" 2>&1 || true
    [ ! -s "$work/verify.log" ] || { cat "$work/verify.log" >&2; fail "systemd-analyze verify"; }
else
    echo "deb_package: no systemd-analyze, unit not verified"
fi
for page in orbtray orbsim; do
    text=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>"$work/man.log")
    [ ! -s "$work/man.log" ] || { cat "$work/man.log" >&2; fail "$page.1 has warnings"; }
    grep -qE "^ *$page +- " <<<"$text" || fail "$page.1 has no NAME line"
done

# The unpacked programs, as the unit starts them, on a free port of their own.
printf 'time,depth\r\n2024-05-01 10:00:00,1.25\r\n' >"$work/readings.csv"
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true' EXIT
for ((tries = 0; tries < 5; tries++)); do
    port=$((20000 + RANDOM % 40000))
    [ -z "$(ss -Htuan "sport = :$port")" ] || continue
    "$root/usr/bin/orbtray" --data-folder "$work/data" --port "$port" --no-usb-scan \
        >"$work/orbtray.out" 2>"$work/orbtray.err" &
    pid=$!
    # Listening once it says so; gone if another program took the port meanwhile.
    while kill -0 "$pid" 2>/dev/null && ! grep -q "receiving into" "$work/orbtray.out"; do
        sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && break
    wait "$pid" || true
    pid=""
done
[ -n "$pid" ] || { cat "$work/orbtray.err" >&2; fail "the unpacked orbtray does not start"; }
"$root/usr/bin/orbsim" send --tcp "127.0.0.1:$port" --serial DEB-1 "$work/readings.csv" >/dev/null ||
    fail "the unpacked orbsim could not deliver"
received=("$work"/data/DEB-1/*.csv)
[ ${#received[@]} -eq 1 ] && cmp "$work/readings.csv" "${received[0]}" ||
    fail "not received as sent: ${received[*]}"
# SIGTERM, as systemd stops it, well within the unit's TimeoutStopSec.
kill -TERM "$pid"
timeout 15 tail --pid="$pid" -f /dev/null || fail "orbtray did not stop within 15 s of SIGTERM"
wait "$pid" || fail "orbtray exited with $? after SIGTERM"
pid=""
echo "deb_package: $(basename "$deb") passed"
