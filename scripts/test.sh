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
status=0
ctest --output-on-failure --timeout 900 -j "$(nproc)" || status=$?
# Every file parser's fuzz target, briefly, in a clang build of its own.
"$root/scripts/fuzz.sh" || status=$?
exit "$status"
