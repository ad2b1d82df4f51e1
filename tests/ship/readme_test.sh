#!/usr/bin/env bash
# The README's commands: its first two are `make demo` and `make test`, and
# every make target it shows exists in the Makefile.
#
# usage: readme_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/lib.sh"
source_dir=$1
readme="$source_dir/README.md"

first_two=$(awk '/^```/ { inside = !inside; next } inside && NF { print $1, $2 }' "$readme" | sed -n 1,2p)
[ "$first_two" = $'make demo\nmake test' ] || fail "the README does not start with make demo, make test: $first_two"

targets=$(grep -oE '(^|[`$# ] *)make [a-z-]+' "$readme" | awk '{ print $NF }' | sort -u)
[ -n "$targets" ] || fail "no make command found in the README"
for target in $targets; do
    make -n -C "$source_dir" "$target" >/dev/null 2>&1 || fail "the README shows 'make $target', which the Makefile lacks"
done

finish
