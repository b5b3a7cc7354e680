#!/usr/bin/env bash
# Takes docs/screenshot.png: the real window under Xvfb, grabbed by
# ImageMagick's import. Uses a throw-away settings folder, so the window shows
# its first-start contents.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="${1:-$root/docs/screenshot.png}"
[ -x "$build/orvandel" ] || "$root/scripts/build.sh"
config="$(mktemp -d)"
trap 'rm -rf "$config"' EXIT
XDG_CONFIG_HOME="$config" xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  "$1" & app=$!
  for _ in $(seq 50); do
    sleep 0.2
    if import -window Orvandel "$2" 2>/dev/null; then break; fi
  done
  kill "$app"
' _ "$build/orvandel" "$out"
echo "wrote $out"
