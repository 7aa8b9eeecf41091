#!/usr/bin/env bash
# The set-up script on a new machine, whose home folder has nothing yet:
# wherever the cache is named, its folders are made and each test server is
# unpacked with its version (from .debs already fetched: no apt, no network).
set -euo pipefail
script=$1 tmp=$(mktemp -d) status=0
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/debs"
for package in pure-ftpd vsftpd proftpd-core proftpd-mod-crypto; do
  mkdir -p "$tmp/$package/DEBIAN" "$tmp/$package/usr/sbin"
  printf 'Package: %s\nVersion: 1.2-3\nArchitecture: all\nMaintainer: t <t@t.invalid>\nDescription: t\n' \
    "$package" >"$tmp/$package/DEBIAN/control"
  echo "$package" >"$tmp/$package/usr/sbin/$package"
  dpkg-deb -Znone -b "$tmp/$package" "$tmp/debs/${package}_1.2-3_all.deb" >/dev/null
done
# expect CACHE [VARIABLE=VALUE]: with HOME not there yet, the servers land in CACHE.
expect() {
  local cache=$1
  shift
  env -u XDG_CACHE_HOME -u ADV_DEPS_CACHE HOME="$tmp/new/home" "$@" "$script" --servers-from "$tmp/debs" || true
  # ProFTPD is two packages in one folder.
  for file in pure-ftpd/pure-ftpd vsftpd/vsftpd proftpd/proftpd-core proftpd/proftpd-mod-crypto; do
    server=${file%/*}
    if [[ ! -f $cache/$server/usr/sbin/${file#*/} || $(cat "$cache/$server/.version" 2>&1) != 1.2-3 ]]; then
      echo "FAILED (${*:-HOME alone}): ${file#*/} is not in $cache/$server with its version"
      status=1
    fi
  done
}
expect "$tmp/new/home/.cache/aggiornadv"
expect "$tmp/xdg/cache/aggiornadv" XDG_CACHE_HOME="$tmp/xdg/cache"
expect "$tmp/adv/deps" ADV_DEPS_CACHE="$tmp/adv/deps"
# Root runs what the cache holds: one that anyone may write in is not used.
mkdir -m 777 "$tmp/open"
if ADV_DEPS_CACHE=$tmp/open "$script" --servers-from "$tmp/debs" 2>/dev/null || [[ -e $tmp/open/vsftpd ]]; then
  echo "FAILED: a cache that anyone may write in was used"
  status=1
fi
exit $status
