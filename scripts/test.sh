#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the CI build
# (warnings are errors), the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows program under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
status=0
started=$SECONDS
times=()
# timed WHAT COMMAND...: runs it and notes how long it took.
timed() {
  local what=$1 began=$SECONDS result=0
  shift
  "$@" || result=$?
  times+=("$(printf '%-26s %5d s' "$what" $((SECONDS - began)))")
  return $result
}
run_suite() {
  local preset=$1
  echo "=== ${preset}: configure and build"
  timed "$preset configure" cmake --preset "$preset" >/dev/null
  timed "$preset build" cmake --build --preset "$preset" -j "$jobs"
  echo "=== ${preset}: tests"
  timed "$preset tests" ctest --preset "$preset" -j "$jobs" || status=1
  scripts/skip-reasons.sh "build/$preset"
}

timed "Debian packages" scripts/install-deps.sh --windows

# The Windows libraries are the longest step on a new machine (Qt is built
# from source; afterwards they are a lookup in the cache). They build at the
# lowest priority beside the Linux suites, on the processor time those leave.
mkdir -p build
deps_log=build/windows-libraries.log
deps=""
# A failed build or a signal ends the run, and the libraries' build with it,
# while it still runs (its number may since have gone to another process).
trap 'if [[ -n $deps ]] && jobs -rp | grep -qx "$deps"; then kill -- -"$deps"; fi' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# A process group of its own, so that it can be ended whole.
set -m
nice -n 19 scripts/build-windows-deps.sh >/dev/null 2>"$deps_log" &
deps=$!
set +m

run_suite ci
run_suite asan

echo "=== windows: the libraries (log: $deps_log)"
if wait "$deps"; then
  echo "=== windows: AggiornaDV.exe under Wine"
  timed "Windows build and tests" scripts/test-windows.sh || status=1
else
  tail -n 30 "$deps_log"
  echo "The Windows libraries could not be built: AggiornaDV.exe is not tested."
  status=1
fi

echo "=== Times"
printf '    %s\n' "${times[@]}"
# Built beside the suites; a library taken from the cache took no time.
sed -n 's/^Windows libraries: \(.*\) built in \([0-9]*\) s into .*/\1 \2/p' "$deps_log" |
  while read -r library seconds; do printf '    %-26s %5d s\n' "Windows library $library" "$seconds"; done
printf '    %-26s %5d s\n' total $((SECONDS - started))
if [[ $status -ne 0 ]]; then
  echo "Some tests failed."
fi
exit $status
