#!/usr/bin/env bash
# AggiornaDV.exe under Wine, in a throw-away prefix:
#  - --sweep with every product installed (14 closing calls, nothing to close)
#    against adv_toolhelp_walks.exe (the same 14 Toolhelp32 walks, bare);
#  - --update of a 64 MiB file over loopback against curl + sync + mv on Linux.
#   bench/windows/wine_bench.sh [RUNS]      after scripts/test-windows.sh
#   (or: cmake --build --preset mingw --target bench_wine)
# ADV_BENCH_SETTLE: seconds the new prefix settles first (20); ADV_BENCH_SHOW=1
# prints every sweep and walk time as well as the medians.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
runs=${1:-10}
program=${ADV_PROGRAM:-$root/build/mingw/app/AggiornaDV.exe}
walks=${ADV_TOOLHELP_WALKS:-$root/build/mingw/adv_toolhelp_walks.exe}
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$root/tests/support/ftp-server.sh"
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
"$root/tests/windows/wine-run.sh" "$WINEPREFIX" --prepare
wine=/usr/lib/wine/wine64
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
timed() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N); echo "$e - $s" | bc; }

drive=$work/drive
for p in dolvo/dolvo.exe trevanto/trevanto.exe kivo/Kivo.exe kivo/vidorizu.exe; do
    mkdir -p "$drive/$(dirname $p)"; echo MZ >"$drive/$p"
done
mkdir -p "$work/ftp/www.zorvanik.it/download"
head -c $((64 << 20)) /dev/urandom >"$work/ftp/www.zorvanik.it/download/dolvo.exe"
start_ftp_server pw "$work/ftp.err" --root "$work/ftp" --user op
port=$ftp_port
win() { echo "Z:$1" | tr / '\\'; }
printf 'root = %s\nhost = 127.0.0.1\nport = %s\nuser = op\npassword = pw\n' "$(win "$drive")" "$port" >"$work/a.ini"
chmod 600 "$work/a.ini"

# The prefix's own services start in the background at first: let them
# settle, and warm the file cache, before anything is timed. Then the two
# programs take turns, so that what disturbs one round disturbs both.
sleep "${ADV_BENCH_SETTLE:-20}"
"$wine" "$program" --sweep --config "$(win "$work/a.ini")" >/dev/null 2>&1
"$wine" "$walks" >/dev/null 2>&1
: >"$work/sweep.times"
: >"$work/bare.times"
for _ in $(seq "$runs"); do
    timed "$wine" "$program" --sweep --config "$(win "$work/a.ini")" >>"$work/sweep.times"
    timed "$wine" "$walks" >>"$work/bare.times"
done
[[ -z ${ADV_BENCH_SHOW:-} ]] || { echo "sweep runs: $(tr "\n" " " <"$work/sweep.times")"; echo "walk runs: $(tr "\n" " " <"$work/bare.times")"; }
sweep=$(median <"$work/sweep.times")
bare=$(median <"$work/bare.times")
echo "sweep under Wine: AggiornaDV.exe --sweep ${sweep} s, 14 bare walks ${bare} s, ratio $(echo "scale=2; $sweep / $bare" | bc)"

update=$(for _ in $(seq "$runs"); do echo MZ >"$drive/dolvo/dolvo.exe"
    timed "$wine" "$program" --update --config "$(win "$work/a.ini")"; done | median)
cmp -s "$drive/dolvo/dolvo.exe" "$work/ftp/www.zorvanik.it/download/dolvo.exe" || { echo "update failed"; exit 1; }
peer=$(for _ in $(seq "$runs"); do timed sh -c "curl -s -u op:pw -o '$work/tmp' ftp://127.0.0.1:$port/www.zorvanik.it/download/dolvo.exe && sync '$work/tmp' && mv '$work/tmp' '$work/peer.exe'"; done | median)
echo "64 MiB update: AggiornaDV.exe under Wine ${update} s, curl + sync + mv on Linux ${peer} s, ratio $(echo "scale=2; $update / $peer" | bc)"
echo "size of AggiornaDV.exe: $(stat -c %s "$program") bytes"
