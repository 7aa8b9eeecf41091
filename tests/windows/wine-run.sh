#!/bin/sh
# Runs one Windows program under Wine; the emulator of the MinGW build's tests.
#
#   wine-run.sh DEFAULT_PREFIX PROGRAM [ARGUMENT...]
#   wine-run.sh DEFAULT_PREFIX --prepare
#
# The prefix is $WINEPREFIX when set, else DEFAULT_PREFIX. A new prefix is set
# up once, under a lock (CTest may run tests side by side), with Wine's "null"
# graphics driver: the tests create real windows, and that must work with no X
# server, as in CI, and show nothing on a desktop when there is one.
set -eu

default_prefix=$1
shift
WINEPREFIX=${WINEPREFIX:-$default_prefix}
WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install dialogs.
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
wine=${ADV_WINE:-/usr/lib/wine/wine64}
wineserver=${ADV_WINESERVER:-/usr/lib/wine/wineserver}

ready=$WINEPREFIX/.adv-prepared
if [ ! -e "$ready" ]; then
    mkdir -p "$WINEPREFIX"
    (
        flock 9
        if [ ! -e "$ready" ]; then
            log=$WINEPREFIX/.adv-prepare.log
            # The driver is chosen when the prefix's desktop starts: set it, then
            # let that first desktop go (-w) so the next program starts a new one.
            if ! { "$wine" wineboot --init &&
                   "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
                   "$wineserver" -w; } >"$log" 2>&1; then
                cat "$log" >&2
                echo "wine-run.sh: could not prepare the Wine prefix $WINEPREFIX" >&2
                exit 1
            fi
            touch "$ready"
        fi
    ) 9>"$WINEPREFIX/.adv-prepare.lock"
fi

if [ "${1:-}" = --prepare ]; then
    exit 0
fi
exec "$wine" "$@"
