#!/usr/bin/env bash
# Loads each shell completion into a bash without bash-completion and asks it
# for the words it offers at a few places on a command line.
#
# usage: completion_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
. "$(dirname "$0")/lib.sh"
source_dir=$1
completions="$source_dir/packaging/bash-completion"
make_temp

# offers PROGRAM LINE...: the words the completion offers for the last word
# of the line (an empty last word when the line ends in a space), sorted, on
# one line. Each program's completion runs in a bash of its own.
offers() {
    local program=$1 line=$2
    bash --norc --noprofile -c '
        . "$1" || exit 1
        read -ra COMP_WORDS <<<"$2"
        [[ $2 == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE=$2 COMP_POINT=${#2}
        "_$3"
        ((${#COMPREPLY[@]})) && printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "
    ' offers "$completions/$program" "$line" "$program"
}

# expect PROGRAM LINE WORDS: the completion offers exactly WORDS.
expect() {
    local got
    got=$(offers "$1" "$2")
    [ "$got" = "$3" ] || fail "'$2': expected '$3', got '$got'"
}

# expect_has PROGRAM LINE WORD: WORD is among the offers.
expect_has() {
    case " $(offers "$1" "$2") " in
    *" $3 "*) ;;
    *) fail "'$2': '$3' is not offered" ;;
    esac
}

for program in lockstepd lockstepctl; do
    bash --norc --noprofile -n "$completions/$program" || fail "$program: not valid bash"
    bash --norc --noprofile -c '. "$1" && complete -p "$2"' x "$completions/$program" "$program" |
        grep -- "-F _$program $program\$" >/dev/null || fail "$program: no completion registered"
done

# lockstepd: its options; account names after -u; nothing for a password.
expect lockstepd "lockstepd -" "--help --password --set-user --user -h -p -s -u "
expect lockstepd "lockstepd -s -p " ""
expect_has lockstepd "lockstepd -s -u ro" root
expect_has lockstepd "lockstepd --set-user --user " root

# lockstepctl: the commands, then each command's options and their values.
expect lockstepctl "lockstepctl " "--help --version check-config disarm enrol list show status "
expect lockstepctl "lockstepctl status --" "--help --json --prometheus "
expect lockstepctl "lockstepctl list -" "--help --json --keychain "
expect lockstepctl "lockstepctl show Lockstep --" "--account --help --json --keychain "
expect lockstepctl "lockstepctl enrol " "--help --password-stdin --user "
expect lockstepctl "lockstepctl disarm --" "--account --help "
expect lockstepctl "lockstepctl check-config " "--help "
expect lockstepctl "lockstepctl nonsense --" ""
expect_has lockstepctl "lockstepctl enrol --user ro" root
touch "$ship_temp/System.keychain"
expect lockstepctl "lockstepctl list --keychain $ship_temp/Sys" "$ship_temp/System.keychain "

finish
