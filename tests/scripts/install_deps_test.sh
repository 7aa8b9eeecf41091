#!/usr/bin/env bash
# The set-up script on a new machine, where the home folder has nothing yet:
# wherever the cache is named, its folders are made and each test server is
# unpacked whole with its version (from .debs already fetched: no apt, no
# network).
set -euo pipefail
script=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/debs"
for server in pure-ftpd vsftpd; do
  mkdir -p "$tmp/$server/DEBIAN" "$tmp/$server/usr/sbin"
  printf 'Package: %s\nVersion: 1.2-3\nArchitecture: all\nMaintainer: t <t@t.invalid>\nDescription: t\n' \
    "$server" >"$tmp/$server/DEBIAN/control"
  echo "$server" >"$tmp/$server/usr/sbin/$server"
  dpkg-deb -Znone -b "$tmp/$server" "$tmp/debs/${server}_1.2-3_all.deb" >/dev/null
done

home=$tmp/new/home
status=0
# expect CACHE [VARIABLE=VALUE]: the servers land in CACHE.
expect() {
  local cache=$1
  shift
  if ! env -u XDG_CACHE_HOME -u ADV_DEPS_CACHE HOME="$home" "$@" "$script" --servers-from "$tmp/debs"; then
    echo "FAILED (${*:-HOME alone}): the script failed"
    status=1
  fi
  for server in pure-ftpd vsftpd; do
    if [[ ! -f $cache/$server/usr/sbin/$server || $(cat "$cache/$server/.version" 2>&1) != 1.2-3 ]]; then
      echo "FAILED (${*:-HOME alone}): $server is not in $cache with its version"
      status=1
    fi
  done
}
expect "$home/.cache/aggiornadv"
expect "$tmp/xdg/cache/aggiornadv" XDG_CACHE_HOME="$tmp/xdg/cache"
expect "$tmp/adv/deps" ADV_DEPS_CACHE="$tmp/adv/deps"
# Root runs what the cache holds: one that others may write is not used.
mkdir -m 777 "$tmp/open"
if ADV_DEPS_CACHE=$tmp/open "$script" --servers-from "$tmp/debs" 2>/dev/null || [[ -e $tmp/open/vsftpd ]]; then
  echo "FAILED: a cache that others may write was used"
  status=1
fi
exit $status
