#!/usr/bin/env bash
# Builds the libraries the Windows program links statically -- Qt (Core, Gui,
# Widgets, Test, the Windows platform plugin and styles), libcurl (FTP and FTPS
# over Schannel) and libsodium -- for x86_64-w64-mingw32, from Debian's own
# source packages, with Debian's patches applied.
#
#   scripts/build-windows-deps.sh          prints the install prefix on stdout
#
# The sources are those of the very versions installed on this machine (Qt's
# host tools come from Debian's qt6-base-dev-tools and must match), fetched
# through apt with a private sources list and lists folder: the machine's apt
# configuration is left as it is, and nothing comes from outside Debian's
# archive. The result goes to a cache outside the repository,
#   ${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}/mingw-<key>
# where the key hashes those versions, the cross compiler's, this script and
# the toolchain file; a warm cache makes the run a lookup.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=${ADV_JOBS:-$(nproc)}
say() { printf '%s\n' "$*" >&2; }

# Source name and version of an installed binary package.
source_of() { dpkg-query -W -f '${source:Package}=${source:Version}' "$1"; }
qt=$(source_of qt6-base-dev-tools)
curl=$(source_of libcurl4-openssl-dev)
sodium=$(source_of libsodium-dev)
compiler=$(dpkg-query -W -f '${Version}' g++-mingw-w64-x86-64-posix)

key=$({
    printf '%s\n' "$qt" "$curl" "$sodium" "$compiler"
    cat "${BASH_SOURCE[0]}" "$toolchain"
} | sha256sum | cut -c1-16)
cache=${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}
prefix=$cache/mingw-$key

mkdir -p "$cache"
# Two runs at once (two checkouts) wait for each other instead of building
# into the same folder.
exec 9>"$cache/.lock"
flock 9

if [[ -f $prefix/.complete ]]; then
    say "Windows libraries: cached in $prefix"
    printf '%s\n' "$prefix"
    exit 0
fi

started=$SECONDS
work=$cache/work-$key
rm -rf "$work" "$prefix"
mkdir -p "$work/lists/partial"
trap 'say "Windows libraries: build failed; the work folder $work is kept for a look"' ERR

# --- Sources ------------------------------------------------------------------
# The machine's own archives (release, updates, security), as deb-src.
sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$work/src.sources"
apt=(-o Dir::Etc::sourcelist="$work/src.sources" -o Dir::Etc::sourceparts=/nonexistent
     -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/apt-cache" -o APT::Sandbox::User=root)
say "Windows libraries: fetching the sources of $qt $curl $sodium"
apt-get "${apt[@]}" -q update >&2
(cd "$work" && apt-get "${apt[@]}" -q source --download-only "$qt" "$curl" "$sodium" >&2)
for dsc in "$work"/*.dsc; do
    # apt has checked the files against the archive's signed index.
    (cd "$work" && dpkg-source --no-check -x "$dsc" >/dev/null)
done
src() { find "$work" -maxdepth 1 -mindepth 1 -type d -name "$1-[0-9]*" | head -n 1; }

common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$prefix")

# --- libsodium ------------------------------------------------------------------
say "Windows libraries: libsodium"
(
    cd "$(src libsodium)"
    # Debian's tarball is the release tag, without a generated configure.
    autoreconf -fi >/dev/null 2>&1
    ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static \
        --disable-dependency-tracking CC=x86_64-w64-mingw32-gcc-posix >"$work/sodium-configure.log"
    make -j "$jobs" >"$work/sodium-build.log" 2>&1
    make install >/dev/null
)

# --- libcurl ------------------------------------------------------------------
# FTP and FTPS only; Schannel, so Windows' own certificate store is used: no
# CA bundle path of this machine is built in. Alt-Svc and HSTS are HTTP's and
# do not build without it.
say "Windows libraries: libcurl"
off=()
for p in HTTP DICT FILE GOPHER IMAP LDAP LDAPS MQTT POP3 RTSP SMB SMTP TELNET TFTP; do
    off+=("-DCURL_DISABLE_$p=ON")
done
cmake -S "$(src curl)" -B "$work/curl-build" "${common[@]}" -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=OFF -DUSE_NGHTTP2=OFF \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_USE_LIBPSL=OFF -DENABLE_UNICODE=ON \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_HSTS=ON \
    "${off[@]}" >"$work/curl-configure.log"
cmake --build "$work/curl-build" --parallel "$jobs" >"$work/curl-build.log"
cmake --install "$work/curl-build" >/dev/null

# --- Qt ------------------------------------------------------------------------
# pkg-config is off so that none of the host's Linux libraries is taken for a
# Windows one. Debian's +dfsg source has no wintab.h, so tablet events are off; the Windows
# platform plugin of 6.4 needs OpenGL (it stays dynamic, loaded only if used)
# and Direct2D (for its DirectWrite font database) to build at all.
say "Windows libraries: Qt (the long one)"
cmake -S "$(src qt6-base)" -B "$work/qt-build" "${common[@]}" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_testlib=ON \
    -DFEATURE_tabletevent=OFF -DFEATURE_opengl=ON -DFEATURE_direct2d=ON \
    -DFEATURE_pkg_config=OFF >"$work/qt-configure.log"
cmake --build "$work/qt-build" --parallel "$jobs" >"$work/qt-build.log"
cmake --install "$work/qt-build" >/dev/null

touch "$prefix/.complete"
rm -rf "$work"
say "Windows libraries: built in $((SECONDS - started)) s into $prefix"
printf '%s\n' "$prefix"
