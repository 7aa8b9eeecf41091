#!/usr/bin/env bash
# FTPS against Debian's vsftpd, which demands that each data connection
# resume the TLS session of the control connection: the Linux program's
# `--update` beside the Windows program's under Wine, the same file from the
# same server, interleaved, medians of RUNS. Root only (vsftpd runs as root
# and gives up its rights); vsftpd unpacked by scripts/install-deps.sh.
#
#   bench/ftps_vsftpd.sh AGGIORNADV AGGIORNADV_EXE [RUNS] [KIB]
#
# Each `--update` sweeps first: the bench runs in a PID namespace of its own,
# where it meets only what it started.
set -euo pipefail
if [[ -z ${ADV_BENCH_IN_NAMESPACE:-} ]]; then
    exec env ADV_BENCH_IN_NAMESPACE=1 unshare -p -f --mount-proc --kill-child "$0" "$@"
fi
linux=$(realpath "${1:?usage: $0 AGGIORNADV AGGIORNADV_EXE [RUNS] [KIB]}")
windows=$(realpath "${2:?usage: $0 AGGIORNADV AGGIORNADV_EXE [RUNS] [KIB]}")
runs=${3:-5}
kib=${4:-100}
source "$(dirname "$0")/../tests/support/ftp-server.sh"
vsftpd=${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}/vsftpd

work=$(mktemp -d /tmp/adv-ftps-bench-XXXXXX)
# The namespace's end takes the server and Wine with it.
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all
mkdir -p "$work/served/www.zorvanik.it/download" "$work/drive/dolvo"
head -c "$((kib * 1024))" /dev/urandom >"$work/served/www.zorvanik.it/download/dolvo.exe"
start_ftp_server - "$work/server.err" --vsftpd "$vsftpd" --root "$work/served" --user ftp --tls explicit \
    --certdir "$work/certs"
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1

for side in linux windows; do
    root=$work/drive ca=$work/certs/cert.pem
    [[ $side == windows ]] && root="Z:${root//\//\\}" ca="Z:${ca//\//\\}"
    printf 'root = %s\nhost = 127.0.0.1\nport = %s\nuser = ftp\npassword = -\ntls = explicit\nca_file = %s\nclose_grace_s = 0\nlog_file =\n' \
        "$root" "$ftp_port" "$ca" >"$work/$side.ini"
done
run() {  # run SIDE: one update from an old installed file; prints seconds
    printf 'MZ vecchia' >"$work/drive/dolvo/dolvo.exe"
    local started=$EPOCHREALTIME
    if [[ $1 == linux ]]; then
        "$linux" --update --config "$work/linux.ini" >/dev/null 2>&1
    else
        /usr/lib/wine/wine64 "$windows" --update --config "Z:${work//\//\\}\\windows.ini" >/dev/null 2>&1
    fi
    cmp -s "$work/drive/dolvo/dolvo.exe" "$work/served/www.zorvanik.it/download/dolvo.exe"
    awk "BEGIN { printf \"%.3f\", $EPOCHREALTIME - $started }"
}
declare -A times
for ((i = 0; i < runs; i++)); do
    for side in linux windows; do times[$side]+="$(run $side) "; done
done
echo "--update over FTPS from vsftpd (require_ssl_reuse=YES), $kib KiB, medians of $runs:"
for side in linux windows; do
    printf '  %-8s %s s\n' "$side" "$(tr ' ' '\n' <<<"${times[$side]}" | sed '/^$/d' | sort -n | sed -n "$(((runs + 1) / 2))p")"
done
