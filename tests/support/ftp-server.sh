# Sourced by scripts and benchmarks: the tests' FTP server (ftp_server.py) as
# this shell's coprocess. Only the shell holds its stdin, so it ends with the
# shell, however that ends.
#
#   start_ftp_server PASSWORD ERRORS ARGUMENT...
#
# sets ftp_port to the port it announces; one that ends, or says nothing in
# 30 s, fails the call, its complaints (in the file ERRORS) shown.
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
