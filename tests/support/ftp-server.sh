# Sourced by the scripts and benchmarks that serve files over FTP: the
# tests' server (ftp_server.py, beside this file) as this shell's coprocess.
#
#   start_ftp_server PASSWORD ERRORS ARGUMENT...
#
# starts it with ftp_server.py's ARGUMENTs, its complaints in the file
# ERRORS, and sets ftp_port to the port it announces. Only this shell holds
# the server's stdin, so the server ends with the shell, however that ends,
# or at stop_ftp_server. One that ends, or says nothing in 30 s, is reported
# with its complaints and the call fails.
ftp_server_script=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/ftp_server.py
start_ftp_server() {
  local password=$1 errors=$2
  shift 2
  coproc ftp_server { exec env ADV_FTP_PASSWORD="$password" /usr/bin/python3 "$ftp_server_script" "$@" 2>"$errors"; }
  # One that ended at once has taken its pipe with it.
  if ! read -r -t 30 ftp_port _ <&"${ftp_server[0]:-}" || [[ -z $ftp_port ]]; then
    kill "${ftp_server_PID:-}" 2>/dev/null || true
    echo "The FTP server ended, or gave no port in 30 s:" >&2
    cat "$errors" >&2
    return 1
  fi
}

# stop_ftp_server: closes the server's stdin and waits for it to end.
stop_ftp_server() {
  local input=${ftp_server[1]:-} pid=${ftp_server_PID:-}
  [[ -z $input ]] || exec {input}>&-
  [[ -z $pid ]] || wait "$pid" 2>/dev/null || true
}
