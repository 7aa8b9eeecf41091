#!/usr/bin/env bash
# The sweep's wall time with 1, 4 and 16 programs that ignore the request to
# close, under the products' names (round the table: the 15th and 16th are a
# second dolvo.exe and ketra2.exe), all four products installed: the time of
# `AggiornaDV --sweep`, start to end, median of RUNS runs. Then the same with
# 30 Wine programs (the idler run as wine64) on a display that never answers
# (tests/support/fake_x_server.py): each is asked through it, within one grace.
#
#   bench/sweep_wall.sh AGGIORNADV SPAWN_CHILD [GRACE_S] [RUNS]    (defaults: 3, 3)
#
# SPAWN_CHILD is the tests' idler (build/<preset>/tests/support/adv_spawn_child).
# Runs in a PID namespace of its own (root): the sweep closes programs by the
# products' real names and must meet no program of this machine's.
set -euo pipefail

if [[ -z ${ADV_BENCH_IN_NAMESPACE:-} ]]; then
  exec env ADV_BENCH_IN_NAMESPACE=1 unshare -p -f --mount-proc --kill-child "$0" "$@"
fi

program=$(realpath "$1")
idler=$(realpath "$2")
grace=${3:-3}
runs=${4:-3}
names=(dolvo.exe ketra2.exe ketra3.exe orbaval.exe nodorep.exe lettovia.exe nodoart.exe
       trevanto.exe lettovi.exe lettovi2.exe Kivo.exe kivoavvisi.exe vidorizu.exe Vudarav.exe)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for probe in dolvo/dolvo.exe trevanto/trevanto.exe kivo/Kivo.exe kivo/vidorizu.exe; do
  mkdir -p "$work/drive/$(dirname "$probe")"
  printf 'MZ' >"$work/drive/$probe"
done
mkdir -p "$work/bin"
for name in "${names[@]}"; do
  cp "$idler" "$work/bin/$name"
done
printf 'root = %s\nclose_grace_s = %s\nlog_file =\n' "$work/drive" "$grace" >"$work/AggiornaDV.ini"

cp "$idler" "$work/bin/wine64"
/usr/bin/python3 "$(dirname "$(realpath "$0")")/../tests/support/fake_x_server.py" silent abstract 700 "$work/silent" \
  3>/dev/null &
until [[ -s $work/silent ]]; do sleep 0.05; done
silent=:$(head -n 1 "$work/silent")

echo "AggiornaDV --sweep with programs that ignore the request; grace $grace s; median of $runs runs, seconds"
printf '%10s %10s\n' programs seconds
for count in 1 4 16 wine30; do
  times=()
  for ((run = 0; run < runs; run++)); do
    for ((i = 0; i < ${count#wine}; i++)); do
      if [[ $count == wine* ]]; then
        DISPLAY=$silent "$work/bin/wine64" --comm "${names[i % ${#names[@]}]}" --life 300 &
      else
        "$work/bin/${names[i % ${#names[@]}]}" --on-term ignore --life 300 &
      fi
      disown  # their end, by the sweep's hand, is no news
    done
    sleep 0.3
    start=$(date +%s.%N)
    "$program" --sweep --config "$work/AggiornaDV.ini" >/dev/null 2>&1
    end=$(date +%s.%N)
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')")
  done
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  printf '%10s %10s\n' "$count" "$median"
done
kill %1
