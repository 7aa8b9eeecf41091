#!/bin/sh
# Runs one Windows program under Wine; the emulator of the MinGW build's tests.
#
#   wine-run.sh DEFAULT_PREFIX PROGRAM [ARGUMENT...]
#   wine-run.sh DEFAULT_PREFIX --prepare      (set up and start Wine, run nothing)
#
# The prefix is $WINEPREFIX when set, else DEFAULT_PREFIX. A new prefix is set
# up once with Wine's "null" graphics driver: the tests create real windows,
# and that must work with no X server, as in CI, and show nothing on a desktop
# when there is one.
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
# How long Wine stays up after the last program, ready for the next test.
linger=${ADV_WINE_LINGER:-30}

mkdir -p "$WINEPREFIX"
# CTest may run several tests at once: one at a time through here.
(
    flock 9
    if [ ! -e "$WINEPREFIX/.adv-prepared" ]; then
        log=$WINEPREFIX/.adv-prepare.log
        # The driver is chosen when the prefix's desktop starts: set it, then
        # end this first Wine session (the server writes the registry as it
        # goes) so that the next start uses it.
        if ! { "$wine" wineboot --init &&
               "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
               "$wineserver" -k && "$wineserver" -w; } </dev/null >"$log" 2>&1 9>&-; then
            cat "$log" >&2
            echo "wine-run.sh: could not prepare the Wine prefix $WINEPREFIX" >&2
            exit 1
        fi
        touch "$WINEPREFIX/.adv-prepared"
    fi
    # Keep Wine up between one test and the next. The server refuses to start
    # (status 2) when one already runs; it must not keep the lock (fd 9).
    "$wineserver" -p"$linger" </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$WINEPREFIX/.adv-prepare.lock"

if [ "${1:-}" = --prepare ]; then
    exit 0
fi

# Wine's own background programs (services, the desktop) start from whichever
# program needs them first and inherit its output, and they outlive it; had they
# CTest's pipe, CTest would wait for them before it saw the test end. So the
# program writes into a file, shown once it has ended.
output=$(mktemp "$WINEPREFIX/.adv-output.XXXXXX")
trap 'rm -f "$output"' EXIT
status=0
"$wine" "$@" </dev/null >"$output" 2>&1 || status=$?
cat "$output"
exit "$status"
