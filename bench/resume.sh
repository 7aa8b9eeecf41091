#!/usr/bin/env bash
# What a cut download costs the next night: the maker publishes a release of
# ADV_RESUME_MB MiB (64 by default) to the tests' FTP server on 127.0.0.1; a
# site's nightly `AggiornaDV --update` has its transfer cut at 90% (the
# server's fault "cut", which ends the file there as if it were whole); the
# next night, through the counting proxy (bench/counting_proxy.py), goes on
# from the kept part. The bench prints each night's exit status, the second
# night's commands and the bytes it fetched, as a share of the release, and
# whether the file installed is the release byte for byte.
#
#   bench/resume.sh AGGIORNADV
#
# Root only: each --update sweeps, here in a PID namespace of the bench's own.
set -euo pipefail
[[ $(id -u) -eq 0 ]] || { echo "$0: root only (the sweep needs a PID namespace)" >&2; exit 2; }
if [[ -z ${ADV_BENCH_IN_NAMESPACE:-} ]]; then
    exec env ADV_BENCH_IN_NAMESPACE=1 unshare -p -f --mount-proc --kill-child "$0" "$@"
fi
program=$(realpath "${1:?usage: $0 AGGIORNADV}")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/support/ftp-server.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/adv-resume-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
size=$((${ADV_RESUME_MB:-64} * 1024 * 1024))
minisign -G -W -p "$work/maker.pub" -s "$work/maker.key" >/dev/null
head -c "$size" /dev/urandom >"$work/dolvo.exe"
mkdir -p "$work/served/download" "$work/drive/dolvo"
printf 'MZ installata\n' >"$work/drive/dolvo/dolvo.exe"
password=prova-ripresa

# configure PORT: the site's (and the maker's) configuration
configure() {
    printf 'host = 127.0.0.1\nport = %s\nuser = notte\npassword = %s\nremote_folder = download\npublic_key = %s\n' \
        "$1" "$password" "$(sed -n 2p "$work/maker.pub")" >"$work/site.ini"
    printf 'root = %s\nretry = 0\nlog_file = %s\nsigning_key = %s\n' "$work/drive" "$work/log" "$work/maker.key" \
        >>"$work/site.ini"
    chmod 600 "$work/site.ini"
}
stop_server() { kill "$ftp_server_PID" 2>/dev/null || true; wait "$ftp_server_PID" 2>/dev/null || true; }

start_ftp_server "$password" "$work/server.err" --writable --root "$work/served" --user notte
configure "$ftp_port"
"$program" --config "$work/site.ini" --publish "$work/dolvo.exe" --rollout 100@0h >"$work/out" 2>&1 ||
    { echo "the publish failed:" >&2; cat "$work/out" >&2; exit 1; }
stop_server

start_ftp_server "$password" "$work/server.err" --root "$work/served" --user notte --fault cut \
    --fault-after $((size * 9 / 10))
configure "$ftp_port"
status=0; "$program" --config "$work/site.ini" --update >"$work/out" 2>&1 || status=$?
echo "night 1, cut at 90%: exit $status; kept: $(stat -c %s "$work"/drive/dolvo/.dolvo.exe.part-* 2>/dev/null || echo none) bytes"
stop_server

start_ftp_server "$password" "$work/server.err" --root "$work/served" --user notte
coproc proxy { exec /usr/bin/python3 "$here/counting_proxy.py" --upstream "$ftp_port" --report "$work/report"; }
read -r proxy_port <&"${proxy[0]}"
configure "$proxy_port"
status=0; "$program" --config "$work/site.ini" --update >"$work/out" 2>&1 || status=$?
exec {proxy[1]}>&-
wait "$proxy_PID" 2>/dev/null || true
stop_server
echo "night 2: exit $status"
/usr/bin/python3 - "$work/report" "$size" <<'PY'
import json, sys
report = json.loads(open(sys.argv[1]).readline())
size = int(sys.argv[2])
ftp = report["ftp"]
fetched = ftp["data_down"]
print("  commands: " + " ".join(c.split(" ")[0] for c in report["commands"]))
print("  fetched: %d bytes of data (%.1f%% of the release), control %d bytes" %
      (fetched, 100.0 * fetched / size, ftp["control_up"] + ftp["control_down"]))
PY
cmp -s "$work/dolvo.exe" "$work/drive/dolvo/dolvo.exe" && echo "  installed: the release, byte for byte" ||
    { echo "  installed: NOT the release" >&2; exit 1; }
