#!/usr/bin/env bash
# Publish benchmark: `AggiornaDV --publish` of a big release to the test FTP
# server on 127.0.0.1 (sign, upload under a temporary name, read back, rename,
# index, the pair today's sites read), beside `curl -T` of the same file to the
# same server, which does none of that. Medians of RUNS runs, interleaved.
#
#   bench/publish.sh AGGIORNADV [RUNS] [MIB]
set -euo pipefail

program=${1:?usage: $0 AGGIORNADV [RUNS] [MIB]}
runs=${2:-5}
mib=${3:-64}
source "$(dirname "$0")/../tests/support/ftp-server.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/adv-publish-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

user=banco password=prova-banco
mkdir -p "$work/served/download"
head -c "$((mib * 1024 * 1024))" /dev/urandom >"$work/dolvo.exe"
minisign -G -W -f -p "$work/key.pub" -s "$work/key.sec" >/dev/null
start_ftp_server "$password" "$work/server.err" --writable --root "$work/served" --user "$user" \
    --server-log "$work/server.log"
port=$ftp_port
cat >"$work/publish.ini" <<INI
host = 127.0.0.1
port = $port
user = $user
password = $password
remote_folder = download
public_key = $(sed -n 2p "$work/key.pub")
signing_key = $work/key.sec
log_file =
INI
chmod 600 "$work/publish.ini"

declare -A samples=()
time_cmd() {
    local label=$1
    shift
    local t0=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 || { echo "$label failed" >&2; exit 1; }
    samples[$label]+="$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f ", b - a }')"
}
for _ in $(seq "$runs"); do
    # Each release must be signed later than the last: a second apart.
    last=$(date +%s)
    while [ "$(date +%s)" = "$last" ]; do sleep 0.05; done
    time_cmd "AggiornaDV --publish" "$program" --config "$work/publish.ini" --publish "$work/dolvo.exe"
    time_cmd "curl -T" curl -sS --fail -T "$work/dolvo.exe" --user "$user:$password" "ftp://127.0.0.1:$port/download/curl.exe"
done
# Both did the whole job.
cmp -s "$work/served/download/curl.exe" "$work/dolvo.exe" || { echo "curl -T did not upload the whole file" >&2; exit 1; }
cmp -s "$work/served/download/dolvo.exe" "$work/dolvo.exe" || { echo "the publish did not put the file in place" >&2; exit 1; }
printf '%s MiB, %s runs, median wall time:\n' "$mib" "$runs"
for label in "AggiornaDV --publish" "curl -T"; do
    printf '  %-22s %s s\n' "$label" "$(tr ' ' '\n' <<<"${samples[$label]}" | sed '/^$/d' | sort -n |
        awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')"
done
