#!/usr/bin/env bash
# Builds Orvandel's Debian package: a build of its own in build-deb/ (or
# $PACKAGE_BUILD_DIR), without the tests and with Debian's hardening flags,
# packed by CPack and checked by lintian. Prints the package's path last.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${PACKAGE_BUILD_DIR:-$root/build-deb}"
"$root/scripts/install-deps.sh"

export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
flags() { dpkg-buildflags --get "$1"; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANDEL_BUILD_TESTS=OFF -DORVANDEL_BUILD_GUI=ON \
  -DCMAKE_C_FLAGS="$(flags CFLAGS) $(flags CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$build" --parallel "$(nproc)"

rm -f "$build"/orvandel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/orvandel_*.deb)"
# Errors fail the script; warnings are printed and left to the reader.
lintian --info "$deb"
echo "$deb"
