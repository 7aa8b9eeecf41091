#!/usr/bin/env bash
# A self-contained demo of AggiornaDV's main job, on this machine only:
# a temporary drive with the four products installed and their programs
# running, a loopback FTP server offering a new dolvo.exe, and the updater.
# With a display the window opens (press DOWNLOAD); without one the update
# runs unattended and a screenshot of the window is saved.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
source "$src/tests/support/ftp-server.sh"

# A line as each stage starts and another with the time it took: on a fresh
# machine the first build takes minutes. A stage's own output goes to its log,
# shown only when it fails.
stage() {
  local what=$1 log=$src/build/demo-$2.log started=$SECONDS
  shift 2
  mkdir -p "$src/build"
  echo "== $what ..."
  if ! "$@" >"$log" 2>&1; then
    tail -n 30 "$log"
    echo "== $what failed after $((SECONDS - started)) s (log: $log)"
    exit 1
  fi
  echo "== $what: $((SECONDS - started)) s"
}
if [[ -z ${ADV_DEMO_IN_NAMESPACE:-} ]]; then
  stage "Installing the Debian packages that are missing" packages scripts/install-deps.sh
  # The CI's build: scripts/test.sh then builds only what the demo did not.
  stage "Configuring the build (build/ci)" configure cmake --preset ci
  stage "Building AggiornaDV and the screenshot tool" build \
    cmake --build --preset ci -j "$(nproc)" --target AggiornaDV adv_window_shot
fi
bin=$src/build/ci/app/AggiornaDV

# The sweep closes every program carrying a product's name. Where it can,
# the demo runs in a PID namespace of its own, so that it closes only the
# stand-ins it starts below, never a program of this machine's.
if [[ -z ${ADV_DEMO_IN_NAMESPACE:-} && $(id -u) -eq 0 ]] && unshare -p -f --mount-proc true 2>/dev/null; then
  exec env ADV_DEMO_IN_NAMESPACE=1 unshare -p -f --mount-proc --kill-child "$src/scripts/demo.sh" "$@"
fi

work=$(mktemp -d /tmp/aggiornadv-demo.XXXXXX)
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/runtime}
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait "${pids[@]}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The drive: the four products installed, an old dolvo.exe in place.
root=$work/drive_c
mkdir -p "$root/dolvo" "$root/trevanto" "$root/kivo"
printf 'dolvo.exe versione 1.0 (installata)\n' > "$root/dolvo/dolvo.exe"
chmod 755 "$root/dolvo/dolvo.exe"
for f in trevanto/trevanto.exe kivo/Kivo.exe kivo/vidorizu.exe; do cp "$root/dolvo/dolvo.exe" "$root/$f"; done

# Their programs, running: copies of sleep under the products' names.
mkdir -p "$work/programs"
declare -A running
for name in dolvo.exe trevanto.exe lettovi.exe Kivo.exe vidorizu.exe Vudarav.exe; do
  cp "$(command -v sleep)" "$work/programs/$name"
  "$work/programs/$name" 3600 &
  pids+=($!)
  running[$name]=$!
done

# The update server, on loopback only, offering a release the maker signed:
# uploaded program first, signature last. Only a signature tells a whole
# upload from one still under way.
ftproot=$work/ftp
mkdir -p "$ftproot/www.zorvanik.it/download"
head -c 4194304 /dev/urandom > "$ftproot/www.zorvanik.it/download/dolvo.exe"
minisign -G -W -p "$work/minisign.pub" -s "$work/minisign.key" >/dev/null
minisign -S -s "$work/minisign.key" -m "$ftproot/www.zorvanik.it/download/dolvo.exe" \
  -t "timestamp:$(date +%s)	file:dolvo.exe" >/dev/null
# The tests' own server, on a port it picks itself; it ends with this script.
start_ftp_server demo-password "$work/ftp.log" --root "$ftproot" --user demo ||
  { echo "The demo's FTP server did not start."; exit 1; }

config=$work/AggiornaDV.ini
cat > "$config" <<INI
root = $root
host = 127.0.0.1
port = $ftp_port
user = demo
password = demo-password
close_grace_s = 2
show_download = true
public_key = $(sed -n 2p "$work/minisign.pub")
log_file = $work/AggiornaDV.log
INI
chmod 600 "$config"

old=$(sha256sum "$root/dolvo/dolvo.exe" | cut -d' ' -f1)
echo "Demo drive: $root"
echo "Update server: ftp://127.0.0.1:$ftp_port/www.zorvanik.it/download/dolvo.exe"
echo

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  echo "Opening the window: press DOWNLOAD, then USCITA."
  "$bin" --config "$config" || true
else
  echo "No display: unattended update (AggiornaDV --update)."
  set +e
  "$bin" --update --config "$config"
  status=$?
  set -e
  echo "Exit status: $status"
  # The maker signs a second release, and the window (on a virtual display,
  # its question answered "Sì") installs it: the screenshot shows that update.
  head -c 1048576 /dev/urandom > "$ftproot/www.zorvanik.it/download/dolvo.exe"
  minisign -S -s "$work/minisign.key" -m "$ftproot/www.zorvanik.it/download/dolvo.exe" \
    -t "timestamp:$(($(date +%s) + 1))	file:dolvo.exe" >/dev/null
  shot=$src/build/ci/aggiornadv-demo.png
  xvfb-run -a -s "-screen 0 1280x800x24" \
    "$src/build/ci/tests/support/adv_window_shot" --config "$config" --output "$shot" >/dev/null
  echo "A second release on the server, installed through the window; its screenshot: $shot"
fi

echo
echo "Programs closed:"
for name in "${!running[@]}"; do
  if kill -0 "${running[$name]}" 2>/dev/null; then state="still running"; else state="closed"; fi
  printf '  %-14s %s\n' "$name" "$state"
done
new=$(sha256sum "$root/dolvo/dolvo.exe" | cut -d' ' -f1)
served=$(sha256sum "$ftproot/www.zorvanik.it/download/dolvo.exe" | cut -d' ' -f1)
echo "Installed dolvo.exe before: $old"
echo "Installed dolvo.exe after:  $new"
if [[ "$new" == "$served" ]]; then echo "The installed file is now the server's copy."; else echo "The installed file was not replaced."; fi
echo
echo "The run's log file:"
sed 's/^/  /' "$work/AggiornaDV.log"
