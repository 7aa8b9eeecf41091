#!/usr/bin/env bash
# Installs the Debian packages AggiornaDV needs to build, test and run its
# demo, when they are missing. Non-interactive; uses sudo when not root.
#   scripts/install-deps.sh            everything for Linux
#   scripts/install-deps.sh --windows  also the MinGW-w64 compiler and Wine
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
  libcurl4-openssl-dev libsodium-dev minisign libgtest-dev googletest libxcb1-dev libxau-dev
  python3 python3-pyftpdlib python3-openssl openssl curl
  xvfb xauth x11-apps x11-utils imagemagick python3-xlib openbox
  fonts-liberation2 fonts-comfortaa
  procps util-linux
)
if [[ "${1:-}" == "--windows" ]]; then
  # dpkg-dev and the autotools build the Windows libraries from Debian's sources.
  packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 dpkg-dev autoconf automake libtool)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
