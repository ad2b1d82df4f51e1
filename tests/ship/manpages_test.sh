#!/usr/bin/env bash
# Lints the manual pages (mandoc, or man-db's groff warnings where mandoc is
# missing) and checks that they say what they must.
#
# usage: manpages_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/lib.sh"
source_dir=$1
daemon="$source_dir/man/lockstepd.8"
ctl="$source_dir/man/lockstepctl.8"
tool="$source_dir/man/fdesetup.8"

for page in "$daemon" "$ctl" "$tool"; do
    if command -v mandoc >/dev/null; then
        # Warnings and worse fail; style hints (such as a page that refers to
        # one not installed here) do not.
        out=$(mandoc -T lint -W warning "$page" 2>&1) || fail "mandoc: $out"
    elif command -v man >/dev/null; then
        out=$(man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
        [ -z "$out" ] || fail "man --warnings: $out"
    else
        skip "neither mandoc nor man is installed"
    fi
done

# has PAGE TEXT...: the rendered page holds each text (a run of whitespace
# in it matches any run of whitespace, so line breaks do not matter).
rendered() {
    if command -v mandoc >/dev/null; then
        mandoc -T utf8 "$1"
    else
        MANWIDTH=200 man -E UTF-8 -l "$1" 2>/dev/null
    fi | sed 's/.\x08//g'
}
has() {
    local page=$1 text
    shift
    local flat
    flat=$(rendered "$page" | tr -s ' \n\t' '   ')
    for text in "$@"; do
        case "$flat" in
            *"$text"*) ;;
            *) fail "$(basename "$page") lacks: $text" ;;
        esac
    done
}

has "$daemon" NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES SECURITY EXAMPLES \
    "set username and password in system keychain" \
    "user account name to put into keychain" \
    "user password to put into keychain" \
    "--set-user" "--user" "--password" "--help" \
    "incorrect password" "account Does Not Exist" "account locked" "other error" \
    "password set failed" "Successfully authenticated with FileVault" \
    "Failed to authenticate with FileVault" \
    "/var/lib/lockstep/System.keychain" "/var/lib/lockstep/System.keychain.key" \
    "/tmp/lockstep/generic.log" "~/.config/lockstep/lockstepd.plist" \
    "/etc/lockstep/lockstepd.plist" "LogFolderPath" "LogFileName" "showDebug" \
    "AES-256-GCM" "nothing on Linux enforces them"
has "$ctl" NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES \
    "status [--json]" "list [--keychain file]" "show service [--account name]" \
    "disarm [--account name]"
has "$tool" NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES \
    "authrestart [-delayminutes minutes] [-inputplist]" "supportsauthrestart [-verbose]" \
    "FileVault is On." "FileVault is Off." "add -usertoadd name" "remove -user name" \
    "systemctl kexec" "systemctl reboot" "shutdown -r" "lockstep-authrestart"

# The daemon's help texts in the page are the program's own.
if [ -x "$2/lockstepd" ]; then
    help=$("$2/lockstepd" --help)
    for text in "set username and password in system keychain" \
        "user account name to put into keychain" "user password to put into keychain"; do
        case "$help" in *"$text"*) ;; *) fail "lockstepd --help lacks: $text" ;; esac
    done
fi

finish
