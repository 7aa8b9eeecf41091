#!/bin/bash
# Sites in the field run the previous release: what this build's maker
# writes on the server, they must read and follow. This build publishes a
# release for every site, a staged one paused and resumed, a withdrawal,
# and with a refresh key, indexes that hold for a time and their weekly
# renewal; the previous release's --check and --update follow each step.
#
#   previous_release_follows.sh SOURCE_DIR NEW_AGGIORNADV
#
# The previous release is the commit named in tests/scripts/previous-release,
# built once from the clone's history into the libraries' cache.
set -euo pipefail
src=$1 new=$2
commit=$(tr -d '[:space:]' < "$src/tests/scripts/previous-release")
cache=${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}/previous-$commit
old=$cache/AggiornaDV
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ ! -x $old ]]; then
  if ! git -C "$src" cat-file -e "$commit^{commit}" 2>/dev/null; then
    echo "SKIPPED: this clone has no commit $commit (the previous release) to build"
    exit 77
  fi
  echo "Building the previous release ($commit) once into $cache"
  mkdir -p "$work/prev"
  git -C "$src" archive "$commit" | tar -x -C "$work/prev"
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  (cd "$work/prev" && cmake --preset ci "${launcher[@]}" >/dev/null &&
    cmake --build build/ci --target AggiornaDV >/dev/null)
  mkdir -p "$cache"
  cp "$work/prev/build/ci/app/AggiornaDV" "$old.part" && mv "$old.part" "$old"
  rm -rf "$work/prev"
fi

# shellcheck source=../support/ftp-server.sh
. "$src/tests/support/ftp-server.sh"
mkdir -p "$work/ftp/download" "$work/drive/dolvo"
printf 'MZ installata\n' > "$work/drive/dolvo/dolvo.exe"
minisign -G -W -p "$work/maker.pub" -s "$work/maker.key" >/dev/null
minisign -G -W -p "$work/refresh.pub" -s "$work/refresh.key" >/dev/null
chmod 600 "$work/maker.key" "$work/refresh.key"
start_ftp_server pw "$work/ftp.log" --root "$work/ftp" --user maker --writable
common="host = 127.0.0.1
port = $ftp_port
user = maker
password = pw
remote_folder = download
public_key = $(sed -n 2p "$work/maker.pub")"
printf '%s\nsigning_key = %s\nrefresh_key = %s\nlog_file = %s\n' \
  "$common" "$work/maker.key" "$work/refresh.key" "$work/maker.log" > "$work/maker.ini"
printf '%s\nroot = %s\ngruppo = pilota\nclose_grace_s = 1\nlog_file = %s\n' \
  "$common" "$work/drive" "$work/site.log" > "$work/site.ini"
chmod 600 "$work/maker.ini" "$work/site.ini"

failed=0
# expect WHAT STATUS COMMAND...: the command's status, and its output on a mismatch
expect() {
  local what=$1 want=$2 got=0
  shift 2
  "$@" > "$work/out" 2>&1 || got=$?
  if [[ $got != "$want" ]]; then
    echo "FAILED: $what: exit $got, not $want"
    sed 's/^/    /' "$work/out"
    failed=1
  fi
}
installed() {
  if ! cmp -s "$work/drive/dolvo/dolvo.exe" "$work/$1"; then
    echo "FAILED: the site should run $1 now"
    failed=1
  fi
}
maker() { expect "maker $*" 0 "$new" --config "$work/maker.ini" "$@"; }
site() { expect "previous release's site $1" "$2" "$old" --config "$work/site.ini" "$1"; }
# Each release signed in a second of its own: a release is newer by its time.
release() { printf 'MZ %s\n' "$1" > "$work/$1"; sleep 1; maker --publish "$work/$1" "${@:2}"; }

release uno
site --update 0 && installed uno
release due --rollout 10@0h,100@240h
maker --rollout pausa
site --check 0
site --update 0 && installed uno
maker --rollout riprendi
site --update 0 && installed due
maker --withdraw
site --update 0 && installed uno
site --check 0
# The index as the refresh key renews it, then a release over a renewed one.
maker --refresh
[[ -s $work/ftp/download/dolvo.exe.index.fresh ]] || { echo "FAILED: no renewal beside the index"; failed=1; }
grep -q '^#: refresh_key = ' "$work/ftp/download/dolvo.exe.index" || { echo "FAILED: no refresh key noted"; failed=1; }
site --check 0
release tre
maker --refresh
site --update 0 && installed tre
expect "this build's site --check" 0 "$new" --config "$work/site.ini" --check
grep -q 'valido fino' "$work/out" || { echo "FAILED: this build's --check says not until when the index holds"; failed=1; }

[[ $failed == 0 ]] && echo "The previous release ($commit) followed every step"
exit "$failed"
