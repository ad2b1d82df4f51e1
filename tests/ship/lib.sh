# Shared by the ship tests: failure and skip reporting and a temporary folder
# that is removed when the script ends.

failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Exit status 77 tells CTest that the test was skipped.
skip() {
    echo "SKIP: $*"
    exit 77
}

finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
}

make_temp() {
    ship_temp=$(mktemp -d "${TMPDIR:-/tmp}/lockstep-ship-XXXXXX")
    trap 'rm -rf "$ship_temp"' EXIT
}

# The value of a cache entry of the build folder.
cache_value() {
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# The files the install rules put under a prefix, with their modes.
expected_install() {
    local prefix=$1
    cat <<LIST
755 $prefix/bin/fdesetup
755 $prefix/lib/systemd/system-shutdown/lockstep-authrestart
755 $prefix/sbin/lockstepctl
755 $prefix/sbin/lockstepd
644 $prefix/share/man/man8/fdesetup.8.gz
644 $prefix/share/man/man8/lockstepctl.8.gz
644 $prefix/share/man/man8/lockstepd.8.gz
644 $prefix/lib/systemd/system/lockstepd.service
644 $prefix/lib/tmpfiles.d/lockstep.conf
644 $prefix/share/doc/lockstep/changelog.gz
644 $prefix/share/doc/lockstep/copyright
644 $prefix/share/doc/lockstep/examples/lockstepd.plist
LIST
}
