#!/usr/bin/env bash
# Installs every Debian package (and the one npm package) that building,
# running, testing and packaging Orvandel needs. Installs only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev fonts-liberation xdg-utils
  libzip-dev zlib1g-dev libdeflate-dev libpugixml-dev libcli11-dev nlohmann-json3-dev libicu-dev
  libgsf-1-dev
  libgtest-dev libgmock-dev libxlsxwriter-dev acl
  clang libclang-rt-14-dev
  xvfb xauth imagemagick xdotool
  python3 python3-openpyxl python3-xlrd python3-uno python3-xlsxwriter python3-olefile time xfsprogs
  libreoffice-calc-nogui fonts-dejavu-core gnumeric
  nodejs
  desktop-file-utils appstream scdoc lintian
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 nsis zip dpkg-dev qt6-base-dev-tools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# SheetJS, one of the independent readers of the copy checker.
sheetjs_dir="${SHEETJS_DIR:-$HOME/.cache/check_copy}"
if [ ! -f "$sheetjs_dir/node_modules/xlsx/package.json" ]; then
  npm install --silent --no-audit --no-fund --prefix "$sheetjs_dir" xlsx@0.18.5 >/dev/null
fi
