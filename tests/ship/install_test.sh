#!/usr/bin/env bash
# Installs into temporary folders, as `cmake --install` with --prefix and with
# DESTDIR, and checks every file, its mode and the unit's ExecStart; then
# removes it all again with the uninstall script. Never touches the machine.
#
# usage: install_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/lib.sh"
source_dir=$1
build_dir=$2
make_temp
umask 022

# check_tree TOP FILES_PREFIX UNIT_PREFIX: the files under TOP are exactly
# those the rules install under FILES_PREFIX, and the unit starts the daemon
# under UNIT_PREFIX (the prefix as the installed machine sees it).
check_tree() {
    local top=$1 files=$2 unit_prefix=$3
    local actual expected
    actual=$(find "$top" -type f -printf '%m %p\n' | sort -k2)
    expected=$(expected_install "$files" | sort -k2)
    if [ "$actual" != "$expected" ]; then
        fail "installed files under $top differ (- expected, + installed):"
        diff <(echo "$expected") <(echo "$actual") >&2 || true
    fi
    local bad_dirs
    bad_dirs=$(find "$top" -mindepth 1 -type d ! -perm 0755 -printf '%m %p\n')
    [ -z "$bad_dirs" ] || fail "folders not 0755: $bad_dirs"
    grep -qx "ExecStart=$unit_prefix/sbin/lockstepd" "$files/lib/systemd/system/lockstepd.service" ||
        fail "the unit does not start $unit_prefix/sbin/lockstepd"
    local page
    for page in lockstepd lockstepctl; do
        zcmp -s "$files/share/man/man8/$page.8.gz" "$source_dir/man/$page.8" ||
            fail "$page.8.gz is not the project's page, compressed"
    done
    for page in lockstepd lockstepctl; do
        cmp -s "$files/share/bash-completion/completions/$page" "$source_dir/packaging/bash-completion/$page" ||
            fail "the completion of $page is not the project's"
    done
    # No early-exiting reader (head, grep -q) in these pipes: under pipefail
    # the writer's SIGPIPE would fail the check at random.
    zcat "$files/share/doc/lockstep/changelog.gz" | sed -n 1p | grep '^lockstep (' >/dev/null ||
        fail "changelog.gz is not a Debian changelog"
    "$files/sbin/lockstepctl" --version | grep '^lockstepctl ' >/dev/null ||
        fail "the installed lockstepctl does not run"
    "$files/sbin/lockstepd" --help | grep 'set username and password in system keychain' >/dev/null ||
        fail "the installed lockstepd does not run"
}

# 1. --prefix: everything under the given prefix, the unit naming it.
prefix="$ship_temp/prefix"
cmake --install "$build_dir" --prefix "$prefix" --component lockstep >/dev/null
check_tree "$prefix" "$prefix" "$prefix"

# 2. DESTDIR with the configured prefix, as packagers install.
configured=$(cache_value "$build_dir" CMAKE_INSTALL_PREFIX)
dest="$ship_temp/dest"
DESTDIR="$dest" cmake --install "$build_dir" --component lockstep >/dev/null
check_tree "$dest" "$dest$configured" "$configured"

# 3. Uninstall (with the same DESTDIR) removes every file it installed and
# the product's own folders, and leaves the shared ones.
manifest="$ship_temp/manifest.txt"
cp "$build_dir/install_manifest_lockstep.txt" "$manifest"
DESTDIR="$dest" cmake -DLOCKSTEP_MANIFEST="$manifest" -P "$source_dir/packaging/uninstall.cmake" >/dev/null
left=$(find "$dest" -type f)
[ -z "$left" ] || fail "uninstall left files: $left"
[ ! -e "$dest$configured/share/doc/lockstep" ] || fail "uninstall left the doc folder"
[ -d "$dest$configured/sbin" ] || fail "uninstall removed a shared folder"
[ ! -e "$manifest" ] || fail "uninstall kept its manifest"
# Once more: nothing to do, and it says so.
DESTDIR="$dest" cmake -DLOCKSTEP_MANIFEST="$manifest" -P "$source_dir/packaging/uninstall.cmake" |
    grep "Nothing to uninstall" >/dev/null || fail "a second uninstall did not report nothing to do"

finish
