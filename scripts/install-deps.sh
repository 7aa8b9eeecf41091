#!/usr/bin/env bash
# Installs the Debian packages AggiornaDV needs to build, test and run its
# demo, when they are missing. Non-interactive; uses sudo when not root.
#   scripts/install-deps.sh            everything for Linux
#   scripts/install-deps.sh --windows  also the MinGW-w64 compiler and Wine
#   scripts/install-deps.sh --servers-from DIR
#                                      only unpack the test servers from the
#                                      .debs already in DIR (no apt, no network)
# Works from a home folder that does not exist yet, as on a new machine.
set -euo pipefail

windows="" debs=""
case "${1:-}" in
  --windows) windows=1 ;;
  --servers-from) debs=${2:?a folder of .debs}; [[ -d $debs ]] || { echo "$debs: not a folder" >&2; exit 2; } ;;
  "") ;;
  *) echo "usage: $0 [--windows | --servers-from DIR]" >&2; exit 2 ;;
esac

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
  libcurl4-openssl-dev libsodium-dev minisign libgtest-dev googletest libxcb1-dev libxau-dev
  python3 python3-pyftpdlib python3-openssl openssl curl
  xvfb xauth x11-apps x11-utils imagemagick python3-xlib openbox
  fonts-liberation2 fonts-comfortaa
  procps util-linux
  libwrap0  # the unpacked vsftpd (below) needs it
  libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3  # and the unpacked ProFTPD
)
if [[ -n $windows ]]; then
  # dpkg-dev and the autotools build the Windows libraries from Debian's sources.
  packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 dpkg-dev autoconf automake libtool)
fi

missing=()
[[ -n $debs ]] || for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Debian's Pure-FTPd, vsftpd and ProFTPD (its core and mod_tls), for the tests
# against real servers, unpacked into the cache rather than installed: an
# installed one starts a service on port 21. Each is whole or absent: its
# packages unpacked beside its folder, with the version of the first, then
# moved into place, one run at a time.
source "$(dirname "${BASH_SOURCE[0]}")/deps-cache.sh"
exec 8>"$cache/.servers.lock"
flock 8
unpack() {  # unpack PREFIX DEB...
  local prefix=$1 fresh deb
  shift
  fresh=$(mktemp -d "$prefix.new.XXXXXX")
  for deb in "$@"; do
    if [[ ! -f $deb ]] || ! dpkg -x "$deb" "$fresh"; then
      echo "no .deb of $(basename "$prefix") to unpack" >&2
      rm -rf "$fresh"
      return 1
    fi
  done
  if ! dpkg-deb -f "$1" Version >"$fresh/.version"; then
    rm -rf "$fresh"
    return 1
  fi
  rm -rf "$prefix"
  mv -T "$fresh" "$prefix"
}
for server in "pure-ftpd" "vsftpd" "proftpd proftpd-core proftpd-mod-crypto"; do
  read -r name packages <<<"$server"
  packages=(${packages:-$name})
  prefix=$cache/$name
  if [[ -n $debs ]]; then
    files=()
    for p in "${packages[@]}"; do files+=("$(find "$debs" -maxdepth 1 -name "${p}_*.deb" -print -quit)"); done
    unpack "$prefix" "${files[@]}"
    continue
  fi
  version=$(apt-cache policy "${packages[0]}" 2>/dev/null | sed -n 's/^ *Candidate: //p')
  if [[ -n $version && ! ( -f $prefix/.version && $(<"$prefix/.version") == "$version" ) ]]; then
    work=$(mktemp -d)
    if (cd "$work" && apt-get -q -o APT::Sandbox::User="$(id -un)" download "${packages[@]}" >/dev/null); then
      files=()
      for p in "${packages[@]}"; do files+=("$work/${p}_"*.deb); done
      unpack "$prefix" "${files[@]}"
    else
      echo "$name could not be fetched: the tests against it will say so and be skipped" >&2
    fi
    rm -rf "$work"
  fi
done
