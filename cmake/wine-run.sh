#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGUMENT...]
# wine-run.sh PREFIX --init
#
# Runs a cross-built Windows program under Wine, in the Wine prefix PREFIX, without a display and
# without Wine's own diagnostics, and exits with the program's status. The prefix is made on first
# use (wine wineboot -i, once, under a lock); --init only makes it ready.
#
# A 32-bit program needs 32-bit Wine. Without it Debian's wine launcher falls back on wine64,
# which under WINEDEBUG=-all ends a 32-bit program silently with status 0: a test would pass
# without having run. Such a run fails here instead, loudly.
#
# When no wineserver serves the prefix yet, one is started and booted with its standard streams
# on /dev/null, lingering 30 s after its last client: a server started by wine itself, and the
# services it starts, keep the caller's pipes open, and CTest then waits for them. A CI run starts
# a persistent server of its own beforehand (wineserver -p), boots it with --init, and stops it
# at the end (wineserver -k).
set -eu

if [ $# -lt 2 ]; then
    echo "usage: wine-run.sh PREFIX PROGRAM [ARGUMENT...] | wine-run.sh PREFIX --init" >&2
    exit 2
fi
prefix=$1
shift

if [ "$1" != --init ]; then
    # The PE machine field: 0x014c is i386, 0x8664 x86-64.
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    machine=$(od -An -tx1 -j"$pe" -N6 "$1" | tr -d ' \n')
    case "$machine" in
        504500004c01) bits=32 ;;
        504500006486) bits=64 ;;
        *) echo "wine-run.sh: $1 is not a Windows x86 or x86-64 program" >&2; exit 2 ;;
    esac
    if [ "$bits" = 32 ] && { [ ! -x /usr/lib/wine/wine ] || [ ! -d /usr/lib/i386-linux-gnu/wine/i386-windows ]; }; then
        echo "wine-run.sh: $1 is a 32-bit program, and 32-bit Wine is missing (apt-get install wine32:i386)" >&2
        exit 127
    fi
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer on a new prefix
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$prefix"
# Under a lock, so that programs started side by side wait for it: a server of our own unless one
# serves the prefix already (a second one gives up at once), and when we started it, or the prefix
# is new, its first boot with the streams on /dev/null too, since the services it starts live as
# long as the server and would hold the caller's pipes as well (and the lock, without -o).
flock -o "$prefix/.lock" sh -c '
    cd "$WINEPREFIX" || exit 1
    if wineserver -p30 || [ ! -f .made ]; then
        if [ -f .made ]; then wine wineboot; else wine wineboot -i && touch .made; fi
    fi' </dev/null >/dev/null 2>&1
[ "$1" = --init ] && exit 0
exec wine "$@"
