#!/bin/sh
# Without a Velk (here: without USB at all) the program prints the not-found message alone on
# standard output, nothing on standard error, and ends with status 2, whatever its arguments.
program=$1
expected="No Velk found. Please restart Velk in bootloader mode (press and hold CONFIG during power on)."
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
fail=0
for args in "" "--help" "a b c"; do
    # shellcheck disable=SC2086
    "$program" $args >"$work/out" 2>"$work/err" </dev/null
    status=$?
    printf '%s\n' "$expected" >"$work/want"
    if [ "$status" -ne 2 ]; then echo "args '$args': status $status, not 2"; fail=1; fi
    if ! cmp -s "$work/out" "$work/want"; then
        echo "args '$args': standard output differs:"; od -c "$work/out" | head -20; fail=1
    fi
    if [ -s "$work/err" ]; then echo "args '$args': standard error not empty:"; cat "$work/err"; fail=1; fi
done
exit $fail
