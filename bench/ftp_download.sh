#!/usr/bin/env bash
# Download benchmark: one big file over loopback from the test FTP server,
# through the session's FetchFile (the bench driver) beside the curl command
# line doing the same safe replace by hand; then the driver's peak memory for
# a big and a small file.
#
#   bench/ftp_download.sh DRIVER [RUNS] [BIG_MIB] [AGGIORNADV [signed] [index]]
#
# With AGGIORNADV (the program), `AggiornaDV --update` joins the timing on a
# drive of its own where only Dolvo is installed, and its peak memory is
# measured too. Its start-up sweep closes any running program named like a
# Dolvo program or Vudarav.exe, as it would on the operator's machine: so the
# bench then runs in a PID namespace of its own (root), where it meets only
# the programs the bench started.
#
# With "signed", the files are signed with a throw-away minisign key, and
# `AggiornaDV --update` with that public_key runs beside the same update
# without one and beside curl fetching both files, `minisign -V`, sync and mv.
# The peak memory measured is the signed update's.
#
# With "index", the big file is first published with `AggiornaDV --publish`
# (a throw-away key) onto the served tree, as the maker does: the updates
# then follow the index to releases/dolvo-<time>-<hash>.exe, and curl fetches
# that same release file (and its .minisig). The updater's peak memory is not
# measured then: the index names one release, the big one.
#
# More commands are compared by adding them to `contenders` below; each runs
# RUNS times against the same server and file, interleaved round by round
# with the others, and its median is printed.
set -euo pipefail

if [[ -n ${4:-} && -z ${ADV_BENCH_IN_NAMESPACE:-} ]]; then
    exec env ADV_BENCH_IN_NAMESPACE=1 unshare -p -f --mount-proc --kill-child "$0" "$@"
fi

driver=${1:?usage: $0 DRIVER [RUNS] [BIG_MIB] [AGGIORNADV [signed] [index]]}
runs=${2:-5}
big_mib=${3:-256}
program=${4:-}
signed='' index=''
for word in "${@:5}"; do
    case $word in
    signed) signed=signed ;;
    index) index=index ;;
    *) echo "$0: unknown word $word" >&2 && exit 64 ;;
    esac
done
source "$(dirname "$0")/../tests/support/ftp-server.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/adv-ftp-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

export ADV_FTP_BENCH_USER=banco
export ADV_FTP_BENCH_PASSWORD=prova-banco
folder=download
mkdir -p "$work/served/$folder" "$work/install"
head -c "$((big_mib * 1024 * 1024))" /dev/urandom >"$work/served/$folder/big.bin"
head -c "$((1024 * 1024))" /dev/urandom >"$work/served/$folder/small.bin"
public_key=
if [ -n "$signed$index" ]; then
    minisign -G -W -f -p "$work/key.pub" -s "$work/key.sec" >/dev/null
    public_key=$(sed -n 2p "$work/key.pub")
fi
if [ -n "$signed" ] && [ -z "$index" ]; then
    for f in big.bin small.bin; do
        minisign -S -s "$work/key.sec" -m "$work/served/$folder/$f" -x "$work/served/$folder/$f.minisig" \
            -t "$(printf 'timestamp:%s\tfile:dolvo.exe' "$(date +%s)")" >/dev/null
    done
fi

start_ftp_server "$ADV_FTP_BENCH_PASSWORD" "$work/server.err" ${index:+--writable} \
    --root "$work/served" --user "$ADV_FTP_BENCH_USER" --server-log "$work/server.log"
port=$ftp_port
url="ftp://127.0.0.1:$port/$folder"

# What the updates install, and curl fetches: big.bin served as dolvo.exe, or
# the release file the maker's index names.
release=big.bin
if [ -n "$index" ]; then
    cat >"$work/publish.ini" <<INI
host = 127.0.0.1
port = $port
user = $ADV_FTP_BENCH_USER
password = $ADV_FTP_BENCH_PASSWORD
remote_folder = $folder
public_key = $public_key
signing_key = $work/key.sec
log_file =
INI
    chmod 600 "$work/publish.ini"
    ln "$work/served/$folder/big.bin" "$work/dolvo.exe"
    "$program" --config "$work/publish.ini" --publish "$work/dolvo.exe" >"$work/publish.out" 2>&1 ||
        { cat "$work/publish.out" >&2; exit 1; }
    release=$(cd "$work/served/$folder" && echo releases/dolvo-*.exe)
    [ -f "$work/served/$folder/$release" ] || { echo "no release file published" >&2; exit 1; }
fi

# --- timing -----------------------------------------------------------------
declare -A samples=()
labels=()

# time_cmd LABEL COMMAND...: runs COMMAND once, adds its wall time to LABEL;
# the bench stops when COMMAND fails.
time_cmd() {
    local label=$1
    shift
    [[ -v "samples[$label]" ]] || labels+=("$label")
    local t0=$EPOCHREALTIME
    "$@" >/dev/null || { echo "$label failed (status $?)" >&2; exit 1; }
    local t1=$EPOCHREALTIME
    samples[$label]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f ", b - a }')"
}

median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

curl_safe_replace() {
    curl -s --user "$ADV_FTP_BENCH_USER:$ADV_FTP_BENCH_PASSWORD" -o "$work/install/curl.tmp" "$url/$release" &&
        sync "$work/install/curl.tmp" && mv "$work/install/curl.tmp" "$work/install/curl.bin"
}

# The same with the signature: fetched first, checked after the download.
curl_minisign_replace() {
    curl -s --user "$ADV_FTP_BENCH_USER:$ADV_FTP_BENCH_PASSWORD" -o "$work/install/curl.tmp.minisig" "$url/$release.minisig" &&
        curl -s --user "$ADV_FTP_BENCH_USER:$ADV_FTP_BENCH_PASSWORD" -o "$work/install/curl.tmp" "$url/$release" &&
        minisign -q -V -P "$public_key" -m "$work/install/curl.tmp" &&
        sync "$work/install/curl.tmp" && mv "$work/install/curl.tmp" "$work/install/curl.bin"
}

# The driver also reports the time of the FetchFile call alone.
fetch_file() {
    "$driver" "$port" "$folder" big.bin "$work/install/fetch.bin" |
        sed -n 's/^fetch_s=\([0-9.]*\).*/\1/p' >>"$work/fetch_s"
}

# The updater itself: each configuration on a drive of its own where only
# Dolvo is installed, so each contender's install can be checked.
updater_config() { # NAME [KEY]: $work/NAME.ini, for the drive $work/NAME
    mkdir -p "$work/$1/dolvo"
    cat >"$work/$1.ini" <<INI
root = $work/$1
log_file =
site_id = banco
host = 127.0.0.1
port = $port
user = $ADV_FTP_BENCH_USER
password = $ADV_FTP_BENCH_PASSWORD
remote_folder = $folder
INI
    [ -z "${2:-}" ] || echo "public_key = $2" >>"$work/$1.ini"
    chmod 600 "$work/$1.ini"
}
# Without an index, the updates read the pair dolvo.exe and dolvo.exe.minisig:
# FILE's bytes, signed or not. The unsigned update leaves the signature alone.
serve_pair() { # FILE
    ln -f "$work/served/$folder/$1" "$work/served/$folder/dolvo.exe"
    rm -f "$work/served/$folder/dolvo.exe.minisig"
    if [ -n "$signed" ]; then
        ln -f "$work/served/$folder/$1.minisig" "$work/served/$folder/dolvo.exe.minisig"
    fi
}
# Each timed update starts from the old program and no release record, as
# one that finds the installed release again downloads nothing.
fresh_drive() { echo old >"$work/$1/dolvo/dolvo.exe" && rm -f "$work/$1/dolvo/dolvo.exe.release"; }
run_aggiornadv() { fresh_drive unsigned && "$program" --update --config "$work/unsigned.ini" 2>/dev/null; }
run_signed() { fresh_drive signed && "$program" --update --config "$work/signed.ini"; }

# The contenders: "label" and the command (a function or program) timing it.
contenders=("curl + sync + mv" curl_safe_replace "FetchFile" fetch_file)
drives=()
if [ -n "$program" ]; then
    [ -n "$index" ] || serve_pair big.bin
    updater_config unsigned
    contenders+=("AggiornaDV --update" run_aggiornadv)
    drives+=(unsigned)
fi
if [ -n "$signed" ]; then
    updater_config signed "$public_key"
    contenders+=("curl + minisign -V" curl_minisign_replace "AggiornaDV signed" run_signed)
    drives+=(signed)
fi

# Each round runs every contender once, starting one further along each
# time, so none always runs right after the same other one.
count=$((${#contenders[@]} / 2))
for round in $(seq "$runs"); do
    for k in $(seq 0 $((count - 1))); do
        i=$(((round + k) % count * 2))
        time_cmd "${contenders[i]}" "${contenders[i + 1]}"
    done
    cmp -s "$work/served/$folder/big.bin" "$work/install/fetch.bin" || { echo "FetchFile copy differs" >&2; exit 1; }
    for drive in "${drives[@]}"; do
        cmp -s "$work/served/$folder/$release" "$work/$drive/dolvo/dolvo.exe" ||
            { echo "AggiornaDV ($drive) installed another file" >&2; exit 1; }
    done
done

served="over loopback"
[ -z "$index" ] || served="$served, the maker's index on the server"
echo "download of ${big_mib} MiB $served, $runs runs each (seconds)"
declare -A medians=()
for label in "${labels[@]}"; do
    medians[$label]=$(echo "${samples[$label]}" | median)
    printf '  %-22s median %7.3f   runs: %s\n' "$label" "${medians[$label]}" "${samples[$label]}"
done
printf '  %-22s median %7.3f\n' "(FetchFile call alone)" "$(median <"$work/fetch_s")"
awk -v a="${medians[FetchFile]}" -v b="${medians[curl + sync + mv]}" \
    'BEGIN { printf "  FetchFile / curl: %.3fx (target <= 1.05x)\n", a / b }'
if [ -n "$program" ]; then
    awk -v a="${medians[AggiornaDV --update]}" -v b="${medians[curl + sync + mv]}" \
        'BEGIN { printf "  AggiornaDV --update / curl: %.3fx (target <= 1.05x)\n", a / b }'
fi
if [ -n "$signed" ]; then
    awk -v a="${medians[AggiornaDV signed]}" -v b="${medians[curl + minisign -V]}" \
        'BEGIN { printf "  AggiornaDV signed / curl + minisign -V: %.3fx (target <= 0.8x)\n", a / b }'
    awk -v a="${medians[AggiornaDV signed]}" -v b="${medians[AggiornaDV --update]}" \
        'BEGIN { printf "  AggiornaDV signed / unsigned: %.3fx\n", a / b }'
    # The installed release again: what it costs, and what it reads from the server.
    run_signed >/dev/null
    logged=$(wc -c <"$work/server.log")
    time_cmd "same release" "$program" --update --config "$work/signed.ini"
    read_bytes=$(tail -c +"$((logged + 1))" "$work/server.log" | sed -n 's/.*RETR.* bytes=\([0-9]*\).*/\1/p' |
        awk '{ n += $1 } END { print n + 0 }')
    printf '  AggiornaDV signed, the installed release again: %.3f s, %d bytes read from the server\n' \
        "$(echo "${samples[same release]}" | median)" "$read_bytes"
fi

# --- peak memory --------------------------------------------------------------
rss() { "$driver" "$port" "$folder" "$1" "$work/install/rss.bin" | sed -n 's/.*maxrss_kib=\([0-9]*\).*/\1/p'; }
rss_big=$(rss big.bin)
rss_small=$(rss small.bin)
echo "peak resident memory of the driver (KiB): ${big_mib} MiB file $rss_big, 1 MiB file $rss_small"
awk -v a="$rss_big" -v b="$rss_small" \
    'BEGIN { printf "  difference: %.2f MiB (target < 8 MiB)\n", (a - b) / 1024 }'
if [ -n "$program" ] && [ -n "$index" ]; then
    echo "peak resident memory of AggiornaDV --update: not measured with an index (it names the big release only)"
elif [ -n "$program" ]; then
    peak_drive=${signed:-unsigned}
    peak() { # the updater's peak resident memory in KiB, fetching FILE
        serve_pair "$1"
        fresh_drive "$peak_drive"
        /usr/bin/python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$program" --update --config "$work/$peak_drive.ini" 2>/dev/null
    }
    up_big=$(peak big.bin)
    up_small=$(peak small.bin)
    echo "peak resident memory of AggiornaDV --update (KiB): ${big_mib} MiB file $up_big, 1 MiB file $up_small"
    awk -v a="$up_big" -v b="$up_small" \
        'BEGIN { printf "  difference: %.2f MiB (target < 8 MiB)\n", (a - b) / 1024 }'
fi
