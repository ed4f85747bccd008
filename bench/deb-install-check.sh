#!/usr/bin/env bash
# The .deb on a fresh Debian 12, as a user meets it: a minimal bookworm is bootstrapped from the
# mirror apt uses here and booted under systemd-nspawn, with its own systemd, logind and user
# manager. Inside it, root installs the package with apt, a normal user in a logind session runs
# `systemctl --user enable --now orbtray`, orbsim sends a file as instrument 12345, and the file in
# the user's Data folder must match it byte for byte; then `systemctl --user stop orbtray` must
# end the service with exit status 0 and no kill.
#
#   sudo bench/deb-install-check.sh [orbtray_VERSION_amd64.deb]
#
# Without an argument the linux-release preset is built and packaged first. Needs root, the
# mirror and a few minutes; run on demand, not in CI. The container has a private network (only
# its own loopback), so the service's port 9393 cannot meet anything on the host. KEEP=1 leaves
# the container's root folder in place for a look afterwards.
# Single quotes below keep $(...) and ${...} for apt, dpkg or the shell in the container.
# shellcheck disable=SC2016
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
started=$(date +%s)
user=alice
serial=12345

fail() {
    echo "deb-install-check: FAIL: $*"
    exit 1
}
[[ $(id -u) = 0 ]] || fail "needs root (debootstrap, systemd-nspawn)"

if [[ $# -ge 1 ]]; then
    deb=$(realpath "$1")
else
    log=$(mktemp)
    (cd "$repo" && cmake --preset linux-release && cmake --build --preset linux-release &&
        cpack --preset linux-release) >"$log" 2>&1 || { cat "$log"; fail "building the package"; }
    rm -f "$log"
    deb=$(ls "$repo"/build/linux-release/orbtray_*_"$(dpkg --print-architecture)".deb)
fi
[[ -f $deb ]] || fail "no package $deb"
version=$(dpkg-deb -f "$deb" Version)

for tool in debootstrap:debootstrap systemd-nspawn:systemd-container; do
    command -v "${tool%%:*}" >/dev/null ||
        apt-get install -y -q "${tool#*:}" >/dev/null || fail "cannot install ${tool#*:}"
done

# The same mirror apt uses here, so that the check runs wherever apt-get install does.
mirror=${MIRROR:-$(apt-get indextargets --format '$(REPO_URI) $(CODENAME)' 'Identifier: Packages' |
    awk '$2 == "bookworm" { print $1; exit }')}
[[ -n $mirror ]] || fail "no bookworm mirror in apt's sources; set MIRROR"

work=$(mktemp -d /tmp/orbtray-debcheck.XXXXXX)
root=$work/root
nspawn_pid=
cleanup() {
    if [[ -n $nspawn_pid ]] && kill -0 "$nspawn_pid" 2>/dev/null; then
        # SIGTERM makes nspawn ask the container's systemd for an orderly power-off.
        kill -TERM "$nspawn_pid"
        for _ in $(seq 30); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 1; done
        kill -KILL "$nspawn_pid" 2>/dev/null || true
        wait "$nspawn_pid" 2>/dev/null || true
    fi
    if [[ -n ${KEEP:-} ]]; then
        echo "deb-install-check: left $work"
    elif ! grep -qF " $work/" /proc/self/mounts; then
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# Only systemd, D-Bus and logind on top of the minimal system, plus whatever the package says it
# depends on, so that apt inside the offline container finds every dependency already there
# (each of them is part of any Debian installation anyway).
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | paste -sd,)
echo "deb-install-check: bootstrapping bookworm from $mirror"
debootstrap --variant=minbase --include="systemd,systemd-sysv,dbus,libpam-systemd,$depends" \
    bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; fail "debootstrap"; }
cp "$deb" "$root/root/"
chroot "$root" useradd -m -s /bin/bash "$user"

# --register=no and --keep-unit: nspawn then asks no systemd on the host for a machine or a
# scope, so the check also runs where PID 1 is not systemd.
systemd-nspawn -D "$root" -b --register=no --keep-unit --private-network \
    --machine=orbtray-debcheck --console=read-only >"$work/console.log" 2>&1 </dev/null &
nspawn_pid=$!
leader=
for _ in $(seq 100); do
    leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
    [[ -n $leader ]] && break
    kill -0 "$nspawn_pid" 2>/dev/null || { cat "$work/console.log"; fail "systemd-nspawn exited"; }
    sleep 0.2
done
[[ -n $leader ]] || { cat "$work/console.log"; fail "no systemd in the container"; }

# Commands in the container's namespaces as its root, with none of this shell's environment.
as_root() { nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
# A command in a logind session of the user, as a login would open one: PAM sets XDG_RUNTIME_DIR
# and the user manager is that of the session.
as_user() {
    as_root systemd-run --quiet --wait --pipe -E XDG_SESSION_CLASS=user -p PAMName=login -p 'WorkingDirectory=~' \
        -p User="$user" bash -lc "$1"
}

state=$(as_root timeout 120 systemctl is-system-running --wait || true)
[[ $state = running ]] || { as_root systemctl --failed --no-pager || true; fail "boot: $state"; }

as_root env DEBIAN_FRONTEND=noninteractive apt install -y "/root/$(basename "$deb")" \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt install"; }
[[ $(as_root dpkg-query -W -f '${Status} ${Version}' orbtray) = "install ok installed $version" ]] ||
    fail "orbtray $version is not installed"

# Lingering keeps the user manager, and with it the service, between the separate sessions below,
# as it stays for a user who is still logged in.
as_root loginctl enable-linger "$user"
as_user 'systemctl --user enable --now orbtray' >"$work/enable.log" 2>&1 ||
    { cat "$work/enable.log"; fail "systemctl --user enable --now orbtray"; }

# CR LF lines, as the instruments send them; the file must arrive with every byte as sent.
as_user "printf 'time,depth,temp\r\n2026-12-06 10:00:00,1.25,4.1\r\n2026-12-06 10:00:10,1.30,4.0\r\n' >readings.csv"
as_user 'for _ in $(seq 50); do orbsim discover --timeout 200 >/dev/null && exit 0; done; exit 1' ||
    { as_user 'journalctl --user -u orbtray --no-pager; systemctl --user status orbtray'; fail "the service does not answer"; }
as_user "orbsim send --tcp 127.0.0.1 --serial $serial readings.csv" || fail "orbsim send"
received=$(as_user "find ~/.local/share/Orbalinex/Data/$serial -type f")
[[ $(wc -l <<<"$received") = 1 && $received = *.csv ]] || fail "received: ${received:-nothing}"
as_user "cmp readings.csv '$received'" || fail "$received differs from what was sent"

as_user 'systemctl --user stop orbtray' || fail "systemctl --user stop orbtray"
shown=$(as_user 'systemctl --user show orbtray -p ActiveState -p Result -p ExecMainCode \
    -p ExecMainStatus -p NRestarts' | sort | paste -sd' ')
[[ $shown = "ActiveState=inactive ExecMainCode=1 ExecMainStatus=0 NRestarts=0 Result=success" ]] ||
    fail "after stop: $shown"
journal=$(as_root journalctl --no-pager -o cat _UID="$(as_root id -u "$user")" \
    -t orbtray -t systemd)
grep -q '^orbtray: stopped$' <<<"$journal" || fail "no orderly stop in the journal"
grep -qE '^Stopped orbtray.service' <<<"$journal" || fail "the journal has no 'Stopped'"
! grep -qiE 'SIGKILL|timed out|Killing process' <<<"$journal" || fail "the stop needed a kill"
# A minimal system has no pgrep.
! as_root sh -c 'grep -qx orbtray /proc/[0-9]*/comm' || fail "orbtray still runs"

echo "deb-install-check: PASS: orbtray $version from apt on a fresh Debian 12 (nspawn-booted," \
    "systemd $(as_root dpkg-query -W -f '${Version}' systemd)): user service received" \
    "$(stat -c %s "$root${received}") bytes from $serial byte-exact, stopped with status 0" \
    "($(($(date +%s) - started)) s)"
