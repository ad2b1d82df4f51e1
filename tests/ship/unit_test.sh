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
    StateDirectoryMode=0700 ReadWritePaths=-/tmp/lockstep StandardError=null \
    WantedBy=multi-user.target; do
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

# The service manager must not stop the run before the daemon's own limits for
# the restart tool have played out (its run limit, the grace before SIGKILL
# and the time output is still read), or no outcome would be logged.
header="$1/src/filevault/fdesetup_helper.h"
daemon_limit=0
for constant in kToolRunLimit kToolStopGrace kToolOutputGrace; do
    seconds=$(sed -n "s/.*$constant{\([0-9]*\)}.*/\1/p" "$header")
    [ -n "$seconds" ] || fail "no $constant in $header"
    daemon_limit=$((daemon_limit + ${seconds:-0}))
done
start_timeout=$(sed -n 's/^TimeoutStartSec=\([0-9]*\)$/\1/p' "$unit")
[ -n "$start_timeout" ] && [ "$start_timeout" -gt "$daemon_limit" ] ||
    fail "TimeoutStartSec=${start_timeout:-(none)} is not above the daemon's ${daemon_limit} s"

# The exposure rating, computed from the unit file alone (systemd 250 and
# later); 3.0 or below is the bar.
if security=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>&1); then
    rating=$(sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$security")
    if [ -z "$rating" ]; then
        fail "systemd-analyze security gave no rating: $security"
    elif ! awk -v r="$rating" 'BEGIN { exit !(r <= 3.0) }'; then
        fail "systemd-analyze security rates the unit $rating (above 3.0): $(grep '✗' <<<"$security")"
    else
        echo "systemd-analyze security: $rating"
    fi
else
    security_skipped="systemd-analyze cannot rate a unit file offline here: $security"
fi

if [ "$(id -u)" -eq 0 ] && command -v systemd-tmpfiles >/dev/null; then
    root="$ship_temp/root"
    mkdir -p "$root/tmp"
    systemd-tmpfiles --create --root="$root" "$prefix/lib/tmpfiles.d/lockstep.conf" ||
        fail "systemd-tmpfiles refused lockstep.conf"
    [ "$(stat -c '%a %u %g' "$root/tmp/lockstep")" = "770 92 0" ] ||
        fail "tmpfiles made $(stat -c '%a %u %g' "$root/tmp/lockstep" 2>&1) for /tmp/lockstep"
fi

if [ -n "${security_skipped:-}" ] && [ "$failures" -eq 0 ]; then
    skip "$security_skipped"
fi
finish
