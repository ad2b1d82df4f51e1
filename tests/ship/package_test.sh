#!/usr/bin/env bash
# Builds the Debian package from the build folder into a temporary folder and
# checks that it holds exactly what the install rules install under /usr,
# with root ownership, its control fields, and maintainer scripts that make
# /var/lib/lockstep 0700 root (tried on a temporary root through DPKG_ROOT).
# lintian runs in `make package`, not here.
#
# usage: package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build_dir=$2
for tool in cpack dpkg-deb dpkg-shlibdeps file; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
make_temp
umask 022

(cd "$build_dir" && cpack --config CPackConfig.cmake -G DEB -B "$ship_temp/out") >"$ship_temp/cpack.log" 2>&1 ||
    { cat "$ship_temp/cpack.log" >&2; fail "cpack failed"; finish; }
version=$(cache_value "$build_dir" CMAKE_PROJECT_VERSION)
deb=$(ls "$ship_temp"/out/lockstep_"$version"_*.deb)

# The files: exactly the install rules' list, under /usr, owned by root.
actual=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {
        m = 0; p = substr($1, 2)
        for (i = 0; i < 9; i++) if (substr(p, i + 1, 1) != "-") m += 2 ^ (8 - i)
        printf "%o %s %s\n", m, $2, substr($6, 2) }' | sort -k3)
expected=$(expected_install /usr | awk '{ print $1, "root/root", $2 }' | sort -k3)
if [ "$actual" != "$expected" ]; then
    fail "package files differ from the install rules (- expected, + package):"
    diff <(echo "$expected") <(echo "$actual") >&2 || true
fi
bad_dirs=$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")')
[ -z "$bad_dirs" ] || fail "folders not 0755 root: $bad_dirs"

# The control fields.
[ "$(dpkg-deb -f "$deb" Package)" = lockstep ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
[ "$(dpkg-deb -f "$deb" Section)" = admin ] || fail "section"
# grep reads to the end (no -q): under pipefail an early exit would fail the
# check at random with dpkg-deb's SIGPIPE.
dpkg-deb -f "$deb" Depends | grep 'libc6' >/dev/null || fail "no shared-library dependencies"
dpkg-deb -f "$deb" Description | grep 'lockstepctl' >/dev/null || fail "no long description"

# The unit in the package starts the packaged daemon.
dpkg-deb -x "$deb" "$ship_temp/data"
grep -qx 'ExecStart=/usr/sbin/lockstepd' "$ship_temp/data/usr/lib/systemd/system/lockstepd.service" ||
    fail "the packaged unit does not start /usr/sbin/lockstepd"

# The maintainer scripts, on a temporary root.
dpkg-deb -e "$deb" "$ship_temp/control"
for script in postinst postrm; do
    [ -x "$ship_temp/control/$script" ] || fail "$script is missing or not executable"
done
# As dpkg runs them: deb-systemd-helper does nothing for a script that dpkg
# did not start.
export DPKG_MAINTSCRIPT_PACKAGE=lockstep
if [ "$(id -u)" -eq 0 ]; then
    root="$ship_temp/root"
    mkdir -p "$root/var/lib/lockstep"
    chmod 0755 "$root/var/lib/lockstep"  # a folder made loosely before
    mkdir -p "$root/usr/lib/systemd/system"
    cp "$ship_temp/data/usr/lib/systemd/system/lockstepd.service" "$root/usr/lib/systemd/system/"
    DPKG_ROOT="$root" "$ship_temp/control/postinst" configure ||
        fail "postinst configure failed"
    [ "$(stat -c '%a %U %G' "$root/var/lib/lockstep")" = "700 root root" ] ||
        fail "postinst left /var/lib/lockstep $(stat -c '%a %U %G' "$root/var/lib/lockstep")"
    touch "$root/var/lib/lockstep/System.keychain" "$root/var/lib/lockstep/System.keychain.key"
    DPKG_ROOT="$root" "$ship_temp/control/postrm" remove || fail "postrm remove failed"
    [ -e "$root/var/lib/lockstep/System.keychain" ] || fail "postrm remove took the keychain"
    # Enabled by the administrator after installing, then removed and purged:
    # no enablement link or recorded state is left behind.
    if command -v systemctl >/dev/null && command -v deb-systemd-helper >/dev/null; then
        DPKG_ROOT="$root" "$ship_temp/control/postinst" configure || fail "postinst configure failed"
        systemctl --root="$root" enable lockstepd.service >/dev/null 2>&1 || fail "systemctl enable failed"
        [ -L "$root/etc/systemd/system/multi-user.target.wants/lockstepd.service" ] ||
            fail "systemctl enable made no link"
        DPKG_ROOT="$root" "$ship_temp/control/postrm" remove || fail "postrm remove failed"
        rm -f "$root/usr/lib/systemd/system/lockstepd.service"
    fi
    DPKG_ROOT="$root" "$ship_temp/control/postrm" purge || fail "postrm purge failed"
    [ ! -e "$root/var/lib/lockstep" ] || fail "postrm purge left /var/lib/lockstep"
    left=$(find "$root/etc/systemd" "$root/var/lib/systemd" -name 'lockstepd*' 2>/dev/null || true)
    [ -z "$left" ] || fail "purge left: $left"
else
    echo "not root: the maintainer scripts were not tried"
fi

finish
