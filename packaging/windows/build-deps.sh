#!/bin/bash
# Builds the libraries the Windows build links, for mingw-w64, from Debian's own sources:
# pugixml and libcurl (static, Schannel, HTTP(S) and SMTP(S) only) from their source packages,
# GoogleTest from /usr/src/googletest. The machine's apt sources are not changed: the source
# packages come through a private apt configuration with a deb-src line for the same suite.
#
#   packaging/windows/build-deps.sh [DEPS]     DEPS defaults to build-windows/deps
#   BROVA_WINDOWS_DEPS_CACHE=DIR ...           a finished DEPS is kept in DIR and copied from there
#
# A DEPS that holds a finished build (its .complete file) is reused as it is.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
DEPS=${1:-$ROOT/build-windows/deps}
[[ $DEPS = /* ]] || DEPS=$ROOT/$DEPS
CACHE=${BROVA_WINDOWS_DEPS_CACHE:-}
JOBS=${JOBS:-$(nproc)}
TOOLCHAIN=$ROOT/packaging/windows/mingw-w64.cmake
# Bumped when what is built here changes, so that a cache of an older recipe is not taken.
RECIPE=1

if [ -f "$DEPS/.complete" ] && [ "$(cat "$DEPS/.complete")" = "$RECIPE" ]; then
    echo "build-deps: $DEPS is complete"
    exit 0
fi
if [ -n "$CACHE" ] && [ -f "$CACHE/.complete" ] && [ "$(cat "$CACHE/.complete")" = "$RECIPE" ]; then
    rm -rf "$DEPS" && mkdir -p "$(dirname "$DEPS")" && cp -a "$CACHE" "$DEPS"
    echo "build-deps: $DEPS copied from $CACHE"
    exit 0
fi

START=$(date +%s)
WORK=$(dirname "$DEPS")/deps-src
rm -rf "$DEPS" "$WORK"
mkdir -p "$DEPS" "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial"
SUITE=$(. /etc/os-release && echo "$VERSION_CODENAME")
echo "deb-src http://deb.debian.org/debian $SUITE main" >"$WORK/apt/sources.list"
APT=(apt-get -q -o "Dir::Etc::SourceList=$WORK/apt/sources.list" -o Dir::Etc::SourceParts=-
     -o "Dir::State::Lists=$WORK/apt/lists" -o "Dir::Cache=$WORK/apt/cache"
     -o APT::Sandbox::User=root)
"${APT[@]}" update >"$WORK/apt.log" 2>&1 || { cat "$WORK/apt.log" >&2; exit 1; }
(cd "$WORK" && "${APT[@]}" source --download-only pugixml curl >>"$WORK/apt.log" 2>&1) ||
    { cat "$WORK/apt.log" >&2; exit 1; }

# Each step's output goes to its log, shown only when it fails.
step() {
    local name=$1; shift
    echo "build-deps: $name"
    "$@" >"$WORK/$name.log" 2>&1 || { tail -40 "$WORK/$name.log" >&2; exit 1; }
}
cmake_install() {
    local src=$1; shift
    cmake -S "$src" -B "$src/build-mingw" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DBROVA_WINDOWS_DEPS="$DEPS" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$DEPS" \
        -DBUILD_SHARED_LIBS=OFF "$@" &&
        cmake --build "$src/build-mingw" -j"$JOBS" && cmake --install "$src/build-mingw"
}

tar -C "$WORK" -xzf "$WORK"/pugixml_*.orig.tar.gz
step pugixml cmake_install "$(ls -d "$WORK"/pugixml-*/)" -DPUGIXML_BUILD_TESTS=OFF

cp -r /usr/src/googletest "$WORK/googletest"
step googletest cmake_install "$WORK/googletest" -Dgtest_disable_pthreads=OFF

tar -C "$WORK" -xzf "$WORK"/curl_*.orig.tar.gz
CURL_SRC=$(ls -d "$WORK"/curl-*/)
curl_build() {
    cd "$CURL_SRC" &&
        ./configure --host=x86_64-w64-mingw32 --prefix="$DEPS" --disable-shared --enable-static \
            --with-schannel --disable-ldap --disable-ldaps --disable-rtsp --disable-dict \
            --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-gopher \
            --disable-mqtt --disable-ftp --disable-file --disable-smb --disable-manual \
            --without-zlib --without-brotli --without-zstd --without-libpsl --without-libidn2 \
            --without-nghttp2 --without-libssh2 CC=x86_64-w64-mingw32-gcc-posix &&
        make -j"$JOBS" -C lib && make -C lib install && make -C include install
}
step curl curl_build

echo "$RECIPE" >"$DEPS/.complete"
rm -rf "$WORK"
if [ -n "$CACHE" ]; then rm -rf "$CACHE" && mkdir -p "$(dirname "$CACHE")" && cp -a "$DEPS" "$CACHE"; fi
echo "build-deps: $DEPS built in $(($(date +%s) - START)) s"
