#!/usr/bin/env bash
# Builds Orvandel for 64-bit Windows on this Debian machine: the mingw-w64 cross
# toolchain, the dependencies built from Debian's own source packages, then
# orvandel.exe, orvandel-cli.exe and the test executables in build-windows/ (or
# $WINDOWS_BUILD_DIR). Extra arguments go to the configuration of Orvandel.
#
# The dependencies are built into ~/.cache/orvandel-windows/<key>/prefix (or under
# $ORVANDEL_WINDOWS_CACHE), where the key names the toolchain file and the recipe number
# below. Each dependency is built again only when the version of its Debian source or its
# configuration changes; anything else is reused. Prints the prefix last.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${WINDOWS_BUILD_DIR:-$root/build-windows}"
cache="${ORVANDEL_WINDOWS_CACHE:-$HOME/.cache/orvandel-windows}"
jobs="${JOBS:-$(nproc)}"
toolchain="$root/scripts/windows/mingw-w64.cmake"
# Raise to build every dependency afresh (a change of one's options rebuilds that one alone).
recipe=2

log() { echo "windows: $*" >&2; }
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# --- The cross toolchain, Wine and the packaging tools -------------------------
packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine64 wine nsis zip dpkg-dev cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools xvfb xauth xdotool imagemagick fonts-liberation
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# --- Debian's source entries for the release this machine runs -----------------
codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
src_list=/etc/apt/sources.list.d/orvandel-deb-src.sources
need_update=0
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  log "enabling deb-src for $codename"
  $SUDO tee "$src_list" >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  need_update=1
fi
if ((${#missing[@]})) || ((need_update)); then
  $SUDO apt-get update -qq
fi
if ((${#missing[@]})); then
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- The cache: one prefix per toolchain and recipe; in it, each dependency is ---
# built once per source version (as apt would fetch it) and configuration. Adding a dependency
# or changing one builds only that one.
key="$(printf 'recipe=%s\n' "$recipe" | cat - "$toolchain" | sha256sum | cut -c1-16)"
work="$cache/$key"
prefix="$work/prefix"
mkdir -p "$work/src" "$work/build" "$prefix"
log "dependencies -> $work"

fetch() {  # fetch PACKAGE: unpacks its Debian source and prints the folder
  local p="$1" dir
  dir="$(find "$work/src" -maxdepth 1 -mindepth 1 -type d -name "$p-*" | head -n 1)"
  if [ -z "$dir" ]; then
    (cd "$work/src" && apt-get source -qq "$p" >/dev/null 2>&1)
    dir="$(find "$work/src" -maxdepth 1 -mindepth 1 -type d -name "$p-*" | head -n 1)"
  fi
  echo "$dir"
}

cross_cmake() {  # cross_cmake NAME SOURCE-DIR [cmake options]
  local name="$1" src="$2"
  shift 2
  cmake -S "$src" -B "$work/build/$name" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DORVANDEL_WINDOWS_PREFIX="$prefix" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release "$@" >"$work/build/$name.log" 2>&1 ||
    { tail -n 40 "$work/build/$name.log"; return 1; }
  cmake --build "$work/build/$name" --parallel "$jobs" >>"$work/build/$name.log" 2>&1 ||
    { tail -n 40 "$work/build/$name.log"; return 1; }
  cmake --install "$work/build/$name" >>"$work/build/$name.log" 2>&1
}

# Qt 6.4's Windows platform plugin asks for OpenGL's software check without OpenGL.
patch_qt6_base() {
  sed -i '/^static inline bool isSoftwareGl()/,/^}/ s/#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
    "$1/src/plugins/platforms/windows/qwindowswindow.cpp"
}

# libdeflate 1.14 has a Makefile only: its static library, header and pkg-config file. Built
# with no LIBDEFLATE_DLL, its header declares the functions for static linking.
build_libdeflate() {
  local src="$1" version
  version="$(sed -n 's/^#define LIBDEFLATE_VERSION_STRING[[:space:]]*"\(.*\)"/\1/p' "$src/libdeflate.h")"
  make -C "$src" -j"$jobs" CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-gcc-ar-posix \
    CFLAGS=-O2 libdeflatestatic.lib >"$work/build/libdeflate.log" 2>&1 ||
    { tail -n 40 "$work/build/libdeflate.log"; return 1; }
  install -d "$prefix/lib/pkgconfig" "$prefix/include"
  install -m644 "$src/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
  install -m644 "$src/libdeflate.h" "$prefix/include"
  sed -e "s|@PREFIX@|$prefix|" -e "s|@LIBDIR@|$prefix/lib|" -e "s|@INCDIR@|$prefix/include|" \
    -e "s|@VERSION@|$version|" "$src/libdeflate.pc.in" >"$prefix/lib/pkgconfig/libdeflate.pc"
}

dependency() {  # dependency PACKAGE [cmake options]: builds it unless already built so
  local p="$1" dsc stamp
  shift
  dsc="$(apt-get source --print-uris -qq "$p" | grep -o "[^/]*\.dsc'" | tr -d "'")"
  [ -n "$dsc" ] || { log "no source package $p"; exit 1; }
  stamp="$dsc $(printf '%s\n' "$@" | sha256sum | cut -c1-16)"
  [ "$(cat "$prefix/.built-$p" 2>/dev/null)" = "$stamp" ] && return 0
  local started=$SECONDS src
  # Built afresh from the source apt gives now.
  rm -rf "$work/build/$p"
  find "$work/src" -maxdepth 1 -mindepth 1 -name "${p}[-_]*" -exec rm -rf {} +
  src="$(fetch "$p")"
  if declare -F "patch_${p//-/_}" >/dev/null; then "patch_${p//-/_}" "$src"; fi
  log "building $p from $(basename "$src")"
  if declare -F "build_${p//-/_}" >/dev/null; then
    "build_${p//-/_}" "$src" "$@"
  else
    cross_cmake "$p" "$src" "$@"
  fi
  echo "$stamp" >"$prefix/.built-$p"
  log "$p built in $((SECONDS - started)) s"
}

# libzip as a DLL: its header then needs no static-linking define. It reads and
# writes paths given in UTF-8 through the wide-character file calls.
dependency libzip -DBUILD_SHARED_LIBS=ON -DENABLE_GNUTLS=OFF -DENABLE_OPENSSL=OFF \
  -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
  -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
dependency pugixml -DBUILD_SHARED_LIBS=OFF -DPUGIXML_BUILD_TESTS=OFF
dependency nlohmann-json3 -DJSON_BuildTests=OFF -DJSON_Install=ON
dependency cli11 -DCLI11_BUILD_TESTS=OFF -DCLI11_BUILD_EXAMPLES=OFF -DCLI11_BUILD_DOCS=OFF \
  -DCLI11_PRECOMPILED=OFF
dependency googletest -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON
dependency libxlsxwriter -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF
dependency libdeflate
# Qt base for Widgets only, as DLLs (the package carries them and the platform
# plugin): no OpenGL, network, SQL, D-Bus, printing or XML; Windows' own font
# engine instead of FreeType; the bundled image and text libraries; no tablet input (its
# header is not in Debian's source). The host's
# Qt of the same version supplies moc, rcc and uic.
dependency qt6-base -DBUILD_SHARED_LIBS=ON \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF \
  -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
  -DFEATURE_testlib=ON -DFEATURE_icu=OFF -DFEATURE_freetype=OFF -DFEATURE_fontconfig=OFF \
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF -DFEATURE_sql_sqlite=OFF \
  -DFEATURE_androiddeployqt=OFF -DFEATURE_windeployqt=OFF -DFEATURE_tabletevent=OFF

# --- Orvandel --------------------------------------------------------------------
started=$SECONDS
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DORVANDEL_WINDOWS_PREFIX="$prefix" \
  -DCMAKE_PREFIX_PATH="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  "$@" >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --parallel "$jobs"
log "orvandel built in $((SECONDS - started)) s"
echo "$prefix"
