#!/usr/bin/env bash
# What an unchanged night costs the server: a site's `AggiornaDV --update`
# run twice, nothing published in between, through a counting proxy
# (bench/counting_proxy.py) in front of Debian's vsftpd, Pure-FTPd and
# ProFTPD on 127.0.0.1, plain and over explicit TLS. The first night installs
# the maker's release (published with `--publish`, straight to the server); the
# second finds nothing new, and for it the bench prints the commands the site
# sent, FTP's bytes each way on the control connection and on data
# connections, their total, and over TLS the bytes on the wire besides.
#
#   bench/night.sh AGGIORNADV [ADV_FTP_FETCH_BENCH]
#
# AGGIORNADV is the built program (build/ci/app/AggiornaDV). Given the
# download bench's driver as well (build/ci/bench/adv_ftp_fetch_bench), the
# bench also measures a session that only asks the server about the index
# (size and time), as a site that keeps last night's does. ADV_NIGHT_SERVERS
# and ADV_NIGHT_TLS choose among the servers and "off explicit". Root only: the
# servers give up root for the user they serve, and each --update sweeps
# first, here in a PID namespace of the bench's own, where it meets nothing
# it did not start. A server not unpacked (scripts/install-deps.sh does it,
# into ~/.cache/aggiornadv) is skipped, saying so.
set -euo pipefail
[[ $(id -u) -eq 0 ]] || { echo "$0: root only (the servers give up root, the sweep needs a PID namespace)" >&2; exit 2; }
if [[ -z ${ADV_BENCH_IN_NAMESPACE:-} ]]; then
    exec env ADV_BENCH_IN_NAMESPACE=1 unshare -p -f --mount-proc --kill-child "$0" "$@"
fi
program=$(realpath "${1:?usage: $0 AGGIORNADV [ADV_FTP_FETCH_BENCH]}")
ask=${2:+$(realpath "$2")}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/support/ftp-server.sh"
cache=${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}
work=$(mktemp -d "${TMPDIR:-/tmp}/adv-night-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
minisign -G -W -p "$work/maker.pub" -s "$work/maker.key" >/dev/null
head -c 300000 /dev/urandom >"$work/dolvo.exe"
password=prova-notte

# bench_server NAME TLS: the publish, two nights through the proxy, the second's figures
bench_server() {
    local name=$1 tls=$2 user=notte served=$work/served-$1-$2 certs=$work/certs-$1-$2 site=$work/site-$1-$2
    [[ $name == vsftpd ]] && user=ftp
    mkdir -p "$served/download" "$site/drive/dolvo"
    printf 'MZ installata\n' >"$site/drive/dolvo/dolvo.exe"
    start_ftp_server "$password" "$work/server.err" "--$name" "$cache/$name" --writable --root "$served" \
        --user "$user" --tls "$tls" --certdir "$certs"
    local server_pid=$ftp_server_PID common
    common="host = 127.0.0.1
user = $user
password = $password
remote_folder = download
tls = $([[ $tls == off ]] && echo off || echo explicit)
public_key = $(sed -n 2p "$work/maker.pub")
log_file ="
    [[ $tls == off ]] || common+=$'\n'"ca_file = $certs/cert.pem"
    printf '%s\nport = %s\nsigning_key = %s\n' "$common" "$ftp_port" "$work/maker.key" >"$site/maker.ini"
    chmod 600 "$site/maker.ini"
    "$program" --config "$site/maker.ini" --publish "$work/dolvo.exe" >"$site/out" 2>&1 ||
        { echo "$name/$tls: the publish failed:" >&2; cat "$site/out" >&2; return 1; }

    # Each night through a proxy of its own, which speaks TLS to the site
    # with the server's own certificate, on the same port: the site keeps
    # what it learnt of the index for the server it asked, port and all.
    local n proxy_port=0
    for n in 1 2; do
        through_proxy "$site/night$n.json" night "$n" "$common" "$site" || return 1
    done
    cmp -s "$site/drive/dolvo/dolvo.exe" "$work/dolvo.exe" ||
        { echo "$name/$tls: the first night did not install the release" >&2; return 1; }
    report "$name, $([[ $tls == off ]] && echo without || echo over) TLS: the second night" "$site/night2.json"
    if [[ -n $ask ]]; then
        proxy_port=0
        through_proxy "$site/ask.json" ask_alone "$user" "$certs" "$tls" || return 1
        report "  and a session that only asks about the index" "$site/ask.json"
    fi
    exec {ftp_server[1]}>&-
    wait "$server_pid" || true
}

# through_proxy REPORT COMMAND ARGUMENT...: COMMAND with proxy_port set to a
# counting proxy's in front of the server (on proxy_port, unless 0), whose
# figures are in REPORT once it ended.
through_proxy() {
    local report=$1
    shift
    # bash warns of a second coproc beside the server's; it works.
    {
        coproc proxy { exec /usr/bin/python3 "$here/counting_proxy.py" --upstream "$ftp_port" --report "$report" \
            --port "$proxy_port" --tls "$tls" --cert "$certs/cert.pem" --key "$certs/key.pem" 2>"$work/proxy.err"; }
    } 2>/dev/null
    local proxy_pid=$proxy_PID
    read -r -t 30 proxy_port <&"${proxy[0]}" ||
        { echo "$name/$tls: the proxy did not start:" >&2; cat "$work/proxy.err" >&2; return 1; }
    "$@" || return 1
    exec {proxy[1]}>&-
    wait "$proxy_pid"
}

# night N COMMON SITE: the site's --update through the proxy
night() {
    printf '%s\nport = %s\nroot = %s\nclose_grace_s = 0\nretry = 0\n' "$2" "$proxy_port" "$3/drive" |
        sed "s|^log_file =.*|log_file = $3/night$1.log|" >"$3/site.ini"
    chmod 600 "$3/site.ini"
    "$program" --config "$3/site.ini" --update >"$3/out" 2>&1 ||
        { echo "$name/$tls: night $1 failed:" >&2; cat "$3/out" "$3/night$1.log" >&2; return 1; }
}

# ask_alone USER CERTS TLS: the session a site that holds the index makes to
# learn whether it changed
ask_alone() {
    local ca=
    [[ $3 == off ]] || ca=$2/cert.pem
    ADV_FTP_BENCH_USER=$1 ADV_FTP_BENCH_PASSWORD=$password ADV_FTP_BENCH_CA_FILE=$ca \
        "$ask" "$proxy_port" download dolvo.exe.index --ask >/dev/null
}

# report TITLE REPORT: the sessions' figures
report() {
    /usr/bin/python3 - "$tls" "$@" <<'EOF'
import json, sys
tls, title, report = sys.argv[1:]
sessions = [json.loads(line) for line in open(report)]
ftp, wire = ({key: sum(s[part][key] for s in sessions) for key in sessions[0][part]} for part in ("ftp", "wire"))
commands = [c for s in sessions for c in s["commands"]]
total = sum(ftp.values())
print("%s (%d session%s)" % (title, len(sessions), "" if len(sessions) == 1 else "s"))
print("  commands (%d): %s" % (len(commands), " ".join(c.split(" ")[0] for c in commands)))
print("  control: %d bytes up, %d down; data: %d up, %d down; FTP payload %d bytes (%.2f KiB)" % (
    ftp["control_up"], ftp["control_down"], ftp["data_up"], ftp["data_down"], total, total / 1024))
if tls == "explicit":
    wired = sum(wire.values())
    print("  on the wire (TLS): control %d up, %d down; data %d up, %d down; %d bytes (%.2f KiB)" % (
        wire["control_up"], wire["control_down"], wire["data_up"], wire["data_down"], wired, wired / 1024))
print("  in full: " + "; ".join(commands))
EOF
}

for name in ${ADV_NIGHT_SERVERS:-vsftpd pure-ftpd proftpd}; do
    if [[ ! -d $cache/$name/usr/sbin ]]; then
        echo "$name: SKIPPED, not unpacked in $cache (scripts/install-deps.sh does it)"
        continue
    fi
    for tls in ${ADV_NIGHT_TLS:-off explicit}; do bench_server "$name" "$tls"; done
done
