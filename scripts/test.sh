#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
export SHEETJS_DIR="${SHEETJS_DIR:-$HOME/.cache/check_copy}"
cd "$build"
ctest --output-on-failure --timeout 900 -j "$(nproc)"
