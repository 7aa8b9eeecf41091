#!/usr/bin/env bash
# Builds AggiornaDV.exe with MinGW-w64 (CMake preset "mingw"; the static Qt,
# libcurl and libsodium come from scripts/build-windows-deps.sh and its cache)
# and runs its tests under Wine, in a throw-away Wine prefix that is removed
# afterwards together with the Wine server started for it. The OS-layer tests
# use Wine's "null" graphics driver (see tests/windows/wine-run.sh); the
# window's test brings its own Xvfb and prefix (tests/windows/program_test.py).
#
#   scripts/test-windows.sh [CTEST ARGUMENT...]     e.g. -R ProcessTableWin
#
# Installs what is missing first (scripts/install-deps.sh --windows).
# Exits non-zero when the build or any test fails.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/mingw
wineserver=/usr/lib/wine/wineserver
jobs=${ADV_JOBS:-2}

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f s", b - a }'; }
step() { printf '\n=== %s\n' "$*"; }

started=$(now)

# --- Tools ------------------------------------------------------------------
# The one list of packages: the cross compiler and Wine come with --windows.
"$root/scripts/install-deps.sh" --windows

result=FAILED
prefix=""
libraries=""
built=""
prepared=""
tested=""
summary=""
finish() {
    local status=$?
    if [[ -n $prefix ]]; then
        # Only the server of this prefix: -k ends it and every program in it.
        "$wineserver" -k >/dev/null 2>&1 || true
        "$wineserver" -w >/dev/null 2>&1 || true
        rm -rf "$prefix"
    fi
    local ended
    ended=$(now)
    printf '\n=== Windows tests under Wine: %s\n' "$result"
    if [[ -n $summary ]]; then
        printf '    %s\n' "$summary"
    fi
    if [[ -n $libraries ]]; then
        printf '    libraries      %s\n' "$(seconds "$started" "$libraries")"
    fi
    if [[ -n $built ]]; then
        printf '    build          %s\n' "$(seconds "${libraries:-$started}" "$built")"
    fi
    if [[ -n $prepared ]]; then
        printf '    Wine set-up    %s\n' "$(seconds "$built" "$prepared")"
    fi
    if [[ -n $tested ]]; then
        printf '    tests          %s\n' "$(seconds "$prepared" "$tested")"
    fi
    printf '    total          %s\n' "$(seconds "$started" "$ended")"
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- Build ------------------------------------------------------------------
step "The Windows libraries (Qt, libcurl, libsodium)"
ADV_MINGW_PREFIX=$("$root/scripts/build-windows-deps.sh")
export ADV_MINGW_PREFIX
libraries=$(now)
step "Building AggiornaDV.exe and its tests (preset mingw)"
cd "$root"
# Libraries built anew (another recipe makes another cache folder) are looked
# up afresh, not through the folders the last configure remembered.
stamp=$build/.adv-libraries
fresh=()
if [[ ! -f $stamp || $(<"$stamp") != "$ADV_MINGW_PREFIX" ]]; then
    fresh=(--fresh)
fi
cmake --preset mingw "${fresh[@]}" >/dev/null
printf '%s\n' "$ADV_MINGW_PREFIX" >"$stamp"
cmake --build --preset mingw --parallel "$jobs"
built=$(now)

# --- Wine -------------------------------------------------------------------
prefix=$(mktemp -d "${TMPDIR:-/tmp}/adv-wine.XXXXXX")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

step "Preparing a throw-away Wine prefix in $prefix"
"$root/tests/windows/wine-run.sh" "$prefix" --prepare
prepared=$(now)

step "Running the tests under Wine"
log=$prefix/ctest.log
status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error --parallel "$jobs" "$@" 2>&1 | tee "$log" || status=$?
tested=$(now)
summary=$(grep -E 'tests passed|No tests were found' "$log" | tail -n 1 || true)
"$root/scripts/skip-reasons.sh" "$build"
if ((status == 0)); then
    result=PASSED
fi
exit "$status"
