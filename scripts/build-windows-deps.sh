#!/usr/bin/env bash
# Builds the libraries the Windows program links statically -- Qt (Core, Gui,
# Widgets, Test, the Windows platform plugin and styles), libcurl (FTP and FTPS
# over OpenSSL, which is built here too) and libsodium -- for
# x86_64-w64-mingw32, from Debian's own source packages, with Debian's patches
# applied.
#
#   scripts/build-windows-deps.sh    prints the install prefixes, ';'-separated
#
# The sources are those of the very versions installed on this machine (Qt's
# host tools come from Debian's qt6-base-dev-tools and must match), fetched
# through apt with a private sources list and lists folder: the machine's apt
# configuration is left as it is, and nothing comes from outside Debian's
# archive. Each library goes to a cache folder outside the repository,
#   ${ADV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/aggiornadv}/<library>-<key>
# where the key hashes its source version, the cross compiler's, the toolchain
# file, this script's recipe for it and the prefixes of the libraries it
# builds on: a warm cache makes the run a lookup, and a change to one recipe
# rebuilds that library and those built on it alone.
set -euo pipefail
# A recipe's failure must stop the run, also inside $(build ...): without
# this, bash clears -e there and a half-built library would be marked whole.
shopt -s inherit_errexit

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=${ADV_JOBS:-$(nproc)}
source "$root/scripts/deps-cache.sh"
say() { printf '%s\n' "$*" >&2; }

# Source name and version of an installed binary package.
source_of() { dpkg-query -W -f '${source:Package}=${source:Version}' "$1"; }
compiler=$(dpkg-query -W -f '${Version}' g++-mingw-w64-x86-64-posix)

# --- Recipes: each runs in the unpacked source, installing into $prefix ---------

build_sodium() {
    # Debian's tarball is the release tag, without a generated configure.
    autoreconf -fi >/dev/null 2>&1
    ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static \
        --disable-dependency-tracking CC=x86_64-w64-mingw32-gcc-posix >"$work/configure.log"
    make -j "$jobs" >"$work/build.log" 2>&1
    make install >/dev/null
}

# Static libssl and libcrypto for libcurl's TLS: libraries only (build_libs,
# install_dev), no programs or tests, and no algorithm that TLS between an
# FTP client and today's servers does not use.
# OpenSSL builds in the folders where it looks for openssl.cnf and
# certificates (OPENSSLDIR), engines and modules. Left to Configure they
# would be this machine's cache, which Windows reads as a folder on the
# current drive that any user may create. Nothing looks there: no
# configuration file is loaded (no-autoload-config, and libcurl is built not
# to ask), no engine or module can be loaded (no-dso), and libcurl never
# falls back to OpenSSL's default certificate paths. They still name a
# folder that only administrators can create, should that ever change.
build_openssl() {
    local windows=(OPENSSLDIR=C:/Windows/System32/AggiornaDV/OpenSSL
                   ENGINESDIR=C:/Windows/System32/AggiornaDV/OpenSSL MODULESDIR=C:/Windows/System32/AggiornaDV/OpenSSL)
    ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- CC=gcc-posix --prefix="$prefix" --libdir=lib \
        no-shared no-tests no-dso no-engine no-legacy no-autoload-config no-comp no-dtls no-srp \
        no-ssl3 no-idea no-mdc2 no-rc2 no-rc4 no-rc5 no-bf no-cast no-seed no-camellia no-aria no-sm2 no-sm3 \
        no-sm4 no-whirlpool no-siphash no-cms no-ts no-srtp >"$work/configure.log"
    make -j "$jobs" build_libs "${windows[@]}" >"$work/build.log" 2>&1
    make install_dev "${windows[@]}" >/dev/null
}

# FTP and FTPS only, over OpenSSL. With no ca_file the program hands the
# server's chain to Windows' own verifier through libcurl's hook on OpenSSL's
# context (CURLOPT_SSL_CTX_FUNCTION); no CA bundle path of this machine is
# built in, nor OpenSSL's configuration loaded.
# HTTP stays compiled (Debian's patches of 7.88.1 do not link without it)
# but the program allows only FTP and FTPS at run time; Alt-Svc and HSTS are
# HTTP's. The OpenSSL it links is named in this recipe, so a new OpenSSL
# builds a new libcurl.
build_curl() {
    local off=()
    for p in DICT FILE GOPHER IMAP LDAP LDAPS MQTT POP3 RTSP SMB SMTP TELNET TFTP; do
        off+=("-DCURL_DISABLE_$p=ON")
    done
    cmake -S . -B "$work/build" "${common[@]}" -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
        -DCURL_USE_SCHANNEL=OFF -DCURL_USE_OPENSSL=ON -DADV_MINGW_PREFIX="$openssl" -DOPENSSL_USE_STATIC_LIBS=ON \
        -DCURL_DISABLE_OPENSSL_AUTO_LOAD_CONFIG=ON -DCURL_USE_LIBSSH2=OFF -DUSE_NGHTTP2=OFF \
        -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_USE_LIBPSL=OFF -DENABLE_UNICODE=ON \
        -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_HSTS=ON \
        "${off[@]}" >"$work/configure.log"
    cmake --build "$work/build" --parallel "$jobs" >"$work/build.log"
    cmake --install "$work/build" >/dev/null
}

# pkg-config is off so that none of the host's Linux libraries is taken for a
# Windows one. Debian's +dfsg source has no wintab.h, so tablet events are off;
# the Windows platform plugin of 6.4 needs OpenGL (it stays dynamic, loaded
# only if used) and Direct2D (for its DirectWrite font database) to build.
# What the program never shows is not built: other image formats than PNG
# and ICO, rich-text readers and writers, PDF, file dialogs, widgets it has
# no use for, the Direct2D platform plugin. XPM stays: Qt's drag and drop
# needs it, and 6.4's QApplication does not build without drag and drop.
# No HarfBuzz: its shaping serves scripts the window never writes (Arabic,
# Indic, ...); Latin text takes the font's own glyphs and kerning. Optimized
# for size, not speed (-Os, not -O3): the window draws little, and Qt is the
# longest build on a new machine.
build_qt() {
    local off=()
    for f in jpeg gif textodfwriter textmarkdownreader textmarkdownwriter sessionmanager \
             imageformat_ppm imageformat_xbm movie undocommand pdf harfbuzz direct2d1_1 \
             filedialog \
             graphicsview mdiarea calendarwidget dockwidget wizard colordialog fontdialog \
             undoview columnview lcdnumber dial splashscreen keysequenceedit; do
        off+=("-DFEATURE_$f=OFF")
    done
    cmake -S . -B "$work/build" "${common[@]}" "${off[@]}" -DFEATURE_optimize_size=ON \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_testlib=ON \
        -DFEATURE_tabletevent=OFF -DFEATURE_opengl=ON -DFEATURE_direct2d=ON \
        -DFEATURE_pkg_config=OFF >"$work/configure.log"
    cmake --build "$work/build" --parallel "$jobs" >"$work/build.log"
    cmake --install "$work/build" >/dev/null
}

# --- One library: cached, or fetched and built ---------------------------------

# build LIBRARY BINARY-PACKAGE [PREFIX...]: prints the library's prefix. The
# prefixes are those of the libraries it builds on: part of its key, so that
# one of them built anew builds it anew.
build() {
    local name=$1 source recipe key tried=""
    source=$(source_of "$2")
    recipe=$(declare -f "build_$name")
    key=$({ printf '%s\n' "$source" "$compiler" "$recipe" "${@:3}"; cat "$toolchain"; } | sha256sum | cut -c1-16)
    prefix=$cache/$name-$key
    if [[ -f $prefix/.complete ]]; then
        say "Windows libraries: $name cached in $prefix"
        printf '%s\n' "$prefix"
        return
    fi

    local started=$SECONDS
    work=$cache/work-$name-$key
    rm -rf "$work" "$prefix"
    mkdir -p "$work/lists/partial"
    # The machine's own archives (release, updates, security), as deb-src.
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$work/src.sources"
    local apt=(-o Dir::Etc::sourcelist="$work/src.sources" -o Dir::Etc::sourceparts=/nonexistent
               -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/apt-cache" -o APT::Sandbox::User=root)
    say "Windows libraries: $name: fetching the source of $source"
    apt-get "${apt[@]}" -q update >&2
    # An archive may list a version whose files it no longer serves (a
    # security update replaced by the next): then the other versions it
    # lists, newest first. Not for Qt, whose host tools must match.
    local fetched=$source
    until (cd "$work" && apt-get "${apt[@]}" -q source --download-only "$fetched" >&2); do
        [[ $name != qt ]] || return 1
        rm -f "$work"/*.dsc "$work"/*.tar.* "$work"/*.diff.*
        tried+=" $fetched"
        fetched=$(apt-cache "${apt[@]}" showsrc "${source%%=*}" | sed -n 's/^Version: //p' | sort -rV |
                  sed "s/^/${source%%=*}=/" | grep -vxF -f <(tr ' ' '\n' <<<"$tried" | sed '/^$/d') | head -n 1)
        [[ -n $fetched ]] || return 1
        say "Windows libraries: $name: $source is not served; trying $fetched"
    done
    # apt has checked the files against the archive's signed index.
    (cd "$work" && dpkg-source --no-check -x ./*.dsc >/dev/null)
    local unpacked
    unpacked=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name "${source%%=*}-[0-9]*" | head -n 1)

    common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
            -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$prefix")
    say "Windows libraries: $name: building (logs in $work)"
    (cd "$unpacked"; "build_$name")
    # Which source it was built from, when not the one asked for.
    printf '%s\n' "$fetched" >"$prefix/.source"
    touch "$prefix/.complete"
    rm -rf "$work"
    say "Windows libraries: $name built in $((SECONDS - started)) s into $prefix"
    printf '%s\n' "$prefix"
}

# Two runs at once (two checkouts) wait for each other instead of building
# into the same folder.
exec 9>"$cache/.lock"
flock 9
trap 'say "Windows libraries: the build failed; its work folder is kept for a look"' ERR

prefixes=$(build sodium libsodium-dev)
# libssl3 comes with libcurl4; the headers' package may not be installed.
openssl=$(build openssl libssl3)
prefixes+=";$openssl;$(build curl libcurl4-openssl-dev "$openssl")"
prefixes+=";$(build qt qt6-base-dev-tools)"
printf '%s\n' "$prefixes"
