#!/usr/bin/env bash
# What --fleet costs the maker and the server: 10,000 sites' reports in the
# reports folder of the tests' FTP server on 127.0.0.1 (or Debian's vsftpd:
# ADV_FLEET_SERVER=vsftpd, root only), counted through the counting proxy
# (bench/counting_proxy.py) twice: the first run, with nothing kept on the
# maker's machine, and a second after 100 sites wrote their reports again.
# For each the bench prints the wall time, the commands by kind and FTP's
# bytes each way, and the count's first lines.
#
#   bench/fleet.sh AGGIORNADV ADV_FLEET_REPORTS [COUNT] [CHANGED]
set -euo pipefail
program=$(realpath "${1:?usage: $0 AGGIORNADV ADV_FLEET_REPORTS [COUNT] [CHANGED]}")
reports=$(realpath "${2:?usage: $0 AGGIORNADV ADV_FLEET_REPORTS [COUNT] [CHANGED]}")
count=${3:-10000}
changed=${4:-100}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/support/ftp-server.sh"
cache=${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}
work=$(mktemp -d "${TMPDIR:-/tmp}/adv-fleet-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
minisign -G -W -p "$work/maker.pub" -s "$work/maker.key" >/dev/null
printf 'MZ flotta\n' >"$work/dolvo.exe"
password=prova-flotta
user=flotta
server=()
if [[ ${ADV_FLEET_SERVER:-fixture} == vsftpd ]]; then
    [[ $(id -u) -eq 0 ]] || { echo "$0: vsftpd is root only (it gives up root for the user it serves)" >&2; exit 2; }
    server=(--vsftpd "$cache/vsftpd")
    user=ftp
fi
mkdir -p "$work/served/download/reports"
start_ftp_server "$password" "$work/server.err" "${server[@]}" --writable --root "$work/served" --user "$user"
configure() {
    printf 'host = 127.0.0.1\nport = %s\nuser = %s\npassword = %s\nremote_folder = download\npublic_key = %s\n' \
        "$1" "$user" "$password" "$(sed -n 2p "$work/maker.pub")" >"$work/maker.ini"
    printf 'signing_key = %s\nlog_file =\n' "$work/maker.key" >>"$work/maker.ini"
    chmod 600 "$work/maker.ini"
}
configure "$ftp_port"
"$program" --config "$work/maker.ini" --publish "$work/dolvo.exe" --rollout 10@0h,100@24h >"$work/out" 2>&1 ||
    { echo "the publish failed:" >&2; cat "$work/out" >&2; exit 1; }
"$reports" "$work/served/download/reports" "$count"
[[ $user == ftp ]] && chown -R ftp "$work/served/download/reports"

# run TITLE: --fleet through a counting proxy, its time and bytes
run() {
    rm -f "$work/report"
    # bash warns of a second coproc beside the server's; it works.
    {
        coproc proxy { exec /usr/bin/python3 "$here/counting_proxy.py" --upstream "$ftp_port" --report "$work/report"; }
    } 2>/dev/null
    local proxy_port
    read -r -t 30 proxy_port <&"${proxy[0]}"
    configure "$proxy_port"
    local t0=$EPOCHREALTIME status=0
    "$program" --config "$work/maker.ini" --fleet >"$work/out" 2>&1 || status=$?
    local t1=$EPOCHREALTIME
    exec {proxy[1]}>&-
    wait "$proxy_PID" 2>/dev/null || true
    echo "$1: exit $status, $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }') s"
    /usr/bin/python3 - "$work/report" <<'PY'
import collections, json, sys
sessions = [json.loads(line) for line in open(sys.argv[1])]
ftp = {k: sum(s["ftp"][k] for s in sessions) for k in sessions[0]["ftp"]}
kinds = collections.Counter(c.split(" ")[0] for s in sessions for c in s["commands"])
print("  commands: " + ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
print("  control: %d bytes up, %d down; data: %d up, %d down; FTP payload %.1f KiB" % (
    ftp["control_up"], ftp["control_down"], ftp["data_up"], ftp["data_down"], sum(ftp.values()) / 1024))
PY
    grep -E 'scaricati|contati|provata' "$work/out" | sed 's/^/  /' || true
    [[ $status -eq 0 ]] || tail -n 1 "$work/out" | sed 's/^/  /'
}

run "first run, $count reports, nothing kept"
# The rewritten files get a later time than the first run saw, whatever the
# clock's second.
touch "$work/mark"
"$reports" "$work/served/download/reports" "$count" "$changed"
find "$work/served/download/reports" -newer "$work/mark" -type f -exec touch -d "@$(($(date +%s) + 120))" {} +
run "second run, $changed reports written again"
