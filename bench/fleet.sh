#!/usr/bin/env bash
# What --fleet costs the maker and the server: COUNT sites' reports (10,000)
# in the reports folder of the tests' FTP server on 127.0.0.1, counted twice:
# the first run, with nothing kept on the maker's machine, and a second after
# CHANGED sites (100) wrote their reports again. Each run is made straight to
# the server, for its wall time, and again through the counting proxy
# (bench/counting_proxy.py, whose own pace would swamp the time) by a maker's
# machine that keeps its own record, for the commands and FTP's bytes.
#
#   bench/fleet.sh AGGIORNADV ADV_FLEET_REPORTS [COUNT] [CHANGED]
set -euo pipefail
program=$(realpath "${1:?usage: $0 AGGIORNADV ADV_FLEET_REPORTS [COUNT] [CHANGED]}")
reports=$(realpath "${2:?usage: $0 AGGIORNADV ADV_FLEET_REPORTS [COUNT] [CHANGED]}")
count=${3:-10000}
changed=${4:-100}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/support/ftp-server.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/adv-fleet-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
minisign -G -W -p "$work/maker.pub" -s "$work/maker.key" >/dev/null
cp -p "$work/maker.key" "$work/proxied.key"
printf 'MZ flotta\n' >"$work/dolvo.exe"
password=prova-flotta
mkdir -p "$work/served/download/reports"
start_ftp_server "$password" "$work/server.err" --writable --root "$work/served" --user flotta
# configure PORT KEY: the maker's configuration
configure() {
    printf 'host = 127.0.0.1\nport = %s\nuser = flotta\npassword = %s\nremote_folder = download\npublic_key = %s\n' \
        "$1" "$password" "$(sed -n 2p "$work/maker.pub")" >"$work/maker.ini"
    printf 'signing_key = %s\nlog_file =\n' "$2" >>"$work/maker.ini"
    chmod 600 "$work/maker.ini"
}
configure "$ftp_port" "$work/maker.key"
"$program" --config "$work/maker.ini" --publish "$work/dolvo.exe" --rollout 10@0h,100@24h >"$work/out" 2>&1 ||
    { echo "the publish failed:" >&2; cat "$work/out" >&2; exit 1; }
"$reports" "$work/served/download/reports" "$count"

# fleet: --fleet with the configuration written last, its exit status kept
fleet() {
    status=0
    "$program" --config "$work/maker.ini" --fleet >"$work/out" 2>&1 || status=$?
    [[ $status -eq 0 ]] || { echo "  exit $status:" >&2; tail -n 1 "$work/out" >&2; }
}

# run TITLE: timed straight to the server, then counted through the proxy
run() {
    configure "$ftp_port" "$work/maker.key"
    local t0=$EPOCHREALTIME
    fleet
    echo "$1: $(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }') s"
    grep -E 'scaricati|contati' "$work/out" | sed 's/^/  /' || true
    rm -f "$work/report"
    # bash warns of a second coproc beside the server's; it works.
    {
        coproc proxy { exec /usr/bin/python3 "$here/counting_proxy.py" --upstream "$ftp_port" --report "$work/report" \
            --port "$proxy_port"; }
    } 2>/dev/null
    read -r -t 30 proxy_port <&"${proxy[0]}"
    configure "$proxy_port" "$work/proxied.key"
    fleet
    exec {proxy[1]}>&-
    wait "$proxy_PID" 2>/dev/null || true
    /usr/bin/python3 - "$work/report" <<'PY'
import collections, json, sys
sessions = [json.loads(line) for line in open(sys.argv[1])]
ftp = {k: sum(s["ftp"][k] for s in sessions) for k in sessions[0]["ftp"]}
kinds = collections.Counter(c.split(" ")[0] for s in sessions for c in s["commands"])
print("  commands: " + ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
print("  control: %d bytes up, %d down; data: %d up, %d down; FTP payload %.1f KiB" % (
    ftp["control_up"], ftp["control_down"], ftp["data_up"], ftp["data_down"], sum(ftp.values()) / 1024))
PY
}

# The same proxy port both runs: the maker's machine keeps a server's
# reports by its host and port.
proxy_port=0
run "first run, $count reports, nothing kept"
touch "$work/mark"
"$reports" "$work/served/download/reports" "$count" "$changed"
# A later time than the first run saw, whatever the clock's second.
find "$work/served/download/reports" -newer "$work/mark" -type f -exec touch -d "@$(($(date +%s) + 120))" {} +
run "second run, $changed reports written again"
