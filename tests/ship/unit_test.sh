#!/usr/bin/env bash
# Installs into a temporary prefix and has systemd check the installed unit
# (where systemd-analyze exists) and the tmpfiles snippet (as root), and that
# the unit carries the hardening it is meant to.
#
# usage: unit_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build_dir=$2
make_temp
umask 022

prefix="$ship_temp/prefix"
cmake --install "$build_dir" --prefix "$prefix" --component lockstep >/dev/null
unit="$prefix/lib/systemd/system/lockstepd.service"

for line in Type=oneshot "ExecStart=$prefix/sbin/lockstepd" NoNewPrivileges=yes \
    ProtectSystem=strict ProtectHome=read-only PrivateTmp=no StateDirectory=lockstep \
    StateDirectoryMode=0700 ReadWritePaths=-/tmp/lockstep WantedBy=multi-user.target; do
    grep -qx "$line" "$unit" || fail "the unit lacks $line"
done

if ! command -v systemd-analyze >/dev/null; then
    [ "$failures" -eq 0 ] || finish
    skip "systemd-analyze is not installed; the unit was checked as text only"
fi
# The unit's ExecStart names the daemon in the temporary prefix, so the check
# that it exists is real. --man=no: the pages are not in man's search path.
out=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify warns: $out"

if [ "$(id -u)" -eq 0 ] && command -v systemd-tmpfiles >/dev/null; then
    root="$ship_temp/root"
    mkdir -p "$root/tmp"
    systemd-tmpfiles --create --root="$root" "$prefix/lib/tmpfiles.d/lockstep.conf" ||
        fail "systemd-tmpfiles refused lockstep.conf"
    [ "$(stat -c '%a %u %g' "$root/tmp/lockstep")" = "770 92 0" ] ||
        fail "tmpfiles made $(stat -c '%a %u %g' "$root/tmp/lockstep" 2>&1) for /tmp/lockstep"
fi

finish
