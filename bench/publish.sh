#!/usr/bin/env bash
# Publish benchmark: `AggiornaDV --publish` of a big release (sign, upload
# under a temporary name, read back, rename, index, and to everyone the pair
# today's sites read) beside `curl -T` of the same file to the same server,
# which does none of that; against Debian's Pure-FTPd, vsftpd and ProFTPD on
# 127.0.0.1 (unpacked by scripts/install-deps.sh; root only, as they give up
# root for the user they serve), plain and over explicit TLS, staged
# ("10@0h,100@24h") and to everyone ("100"). Medians of RUNS runs,
# interleaved, and where the publish's time goes, from when each step shows:
#   local     starting the program, reading, hashing and signing the file
#   session   logging in (before the signing), the lock, the server's listing and index
#   upload    from a file's "Invio di" to the next step: sent, read back,
#             renamed, read again (the progress, which split these, shows
#             only on a terminal)
#
#   bench/publish.sh AGGIORNADV [RUNS] [MIB]
set -euo pipefail

program=$(realpath "${1:?usage: $0 AGGIORNADV [RUNS] [MIB]}")
runs=${2:-5}
mib=${3:-64}
source "$(dirname "$0")/../tests/support/ftp-server.sh"
cache=${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}
[[ $(id -u) -eq 0 ]] || { echo "$0: root only" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/adv-publish-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c "$((mib * 1024 * 1024))" /dev/urandom >"$work/dolvo.exe"
minisign -G -W -f -p "$work/key.pub" -s "$work/key.sec" >/dev/null
password=prova-banco

median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
# The publish's output, each line after the seconds since its start.
stamped() {
    local t0=$EPOCHREALTIME line
    { "$@" 2>&1 || true; } | while IFS= read -r line; do
        printf '%s %s\n' "$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')" "$line"
    done
    printf '%s END\n' "$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')"
}
# Stamped output to "total local session upload check".
phases() {
    # The session is opened first; reading, hashing and signing end with
    # "Programma firmato".
    awk '{ t = $1; $1 = "" }
         / - Collegamento/ { local = t; spent["session"] += 0; last = t; state = "local"; next }
         / - Programma firmato/ { spent["local"] += t - last; last = t; state = "session"; next }
         / - Invio di / { spent[state] += t - last; last = t; state = "upload"; next }
         /^ - |END/ { spent[state] += t - last; last = t; state = "session" }
         END { printf "%.3f %.3f %.3f %.3f\n", t, local + spent["local"], spent["session"], spent["upload"] }'
}

declare -A samples=()
bench_server() {  # bench_server NAME TLS: the publishes and curl -T against one server
    local name=$1 tls=$2 user=banco served=$work/served-$1-$2 curl_tls=()
    [[ $name == vsftpd ]] && user=ftp
    mkdir -p "$served/download"
    start_ftp_server "$password" "$work/server.err" "--$name" "$cache/$name" --writable --root "$served" \
        --user "$user" --tls "$tls" --certdir "$work/certs-$name-$tls"
    [[ $tls == off ]] || curl_tls=(--ssl-reqd --cacert "$work/certs-$name-$tls/cert.pem")
    {
        printf 'host = 127.0.0.1\nport = %s\nuser = %s\npassword = %s\nremote_folder = download\n' \
            "$ftp_port" "$user" "$password"
        printf 'tls = %s\npublic_key = %s\nsigning_key = %s\nlog_file =\n' \
            "$([[ $tls == off ]] && echo off || echo explicit)" "$(sed -n 2p "$work/key.pub")" "$work/key.sec"
        [[ $tls == off ]] || printf 'ca_file = %s\n' "$work/certs-$name-$tls/cert.pem"
    } >"$work/publish.ini"
    chmod 600 "$work/publish.ini"
    for _ in $(seq "$runs"); do
        for plan in "10@0h,100@24h" 100; do
            # Each release must be signed later than the last: a second apart.
            local last
            last=$(date +%s)
            while [ "$(date +%s)" = "$last" ]; do sleep 0.05; done
            stamped "$program" --config "$work/publish.ini" --publish "$work/dolvo.exe" --rollout "$plan" \
                >"$work/out"
            grep -q ' - Fatto' "$work/out" || { echo "$name/$tls: the publish failed:" >&2; cat "$work/out" >&2; exit 1; }
            read -r -a got < <(phases <"$work/out")
            for i in 0 1 2 3; do samples[$name $tls $plan $i]+="${got[$i]} "; done
        done
        local t0=$EPOCHREALTIME
        curl -sS --fail "${curl_tls[@]}" -T "$work/dolvo.exe" --user "$user:$password" \
            "ftp://127.0.0.1:$ftp_port/download/curl.exe"
        samples[$name $tls curl]+="$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f ", b - a }')"
    done
    cmp -s "$served/download/curl.exe" "$work/dolvo.exe" || { echo "curl -T did not upload the whole file" >&2; exit 1; }
    cmp -s "$served/download/dolvo.exe" "$work/dolvo.exe" || { echo "the publish did not put the file in place" >&2; exit 1; }
    exec {ftp_server[1]}>&-
    wait "$ftp_server_PID" || true
}

printf '%s MiB, medians of %s runs, seconds\n' "$mib" "$runs"
printf '%-10s %-4s %-15s %7s %7s %7s %7s %8s\n' server tls plan total local session upload "curl -T"
for name in pure-ftpd vsftpd proftpd; do
    [[ -d $cache/$name/usr/sbin ]] || { echo "$name: not unpacked in $cache (scripts/install-deps.sh does it)"; continue; }
    for tls in off explicit; do
        bench_server "$name" "$tls"
        for plan in "10@0h,100@24h" 100; do
            printf '%-10s %-4s %-15s' "$name" "$([[ $tls == off ]] && echo no || echo yes)" "$plan"
            for i in 0 1 2 3; do printf ' %7s' "$(median <<<"${samples[$name $tls $plan $i]}")"; done
            printf ' %8s\n' "$(median <<<"${samples[$name $tls curl]}")"
        done
    done
done
