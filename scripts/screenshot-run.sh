#!/usr/bin/env bash
# Takes docs/screenshot-run.png: the real window after a finished run, driven
# under Xvfb by xdotool as a user would drive it: "Load Sample/Example File"
# (a two-sheet workbook put in place as the sample), 3 copies, "Name sheets
# after copying" ticked with the pattern MySheet[x], "Start Copying Sheets".
# Runs a copy of the executable from a throw-away folder with throw-away
# settings, so neither the build nor the user's settings are touched.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="${1:-$root/docs/screenshot-run.png}"
[ -x "$build/orvandel" ] || "$root/scripts/build.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Orvandel/Samples" "$work/config"
cp "$build/orvandel" "$work/Orvandel/"
[ -f "$build/HAND-M.CUR" ] && cp "$build/HAND-M.CUR" "$work/Orvandel/"
# The engine tells a workbook by its bytes, so an .xlsx package serves under
# the sample's name.
/usr/bin/python3 - "$work/Orvandel/Samples/sample1.xls" <<'PY'
import sys, xlsxwriter
wb = xlsxwriter.Workbook(sys.argv[1])
for name, rows in (("Data", [("Item", "Count"), ("Apples", 12), ("Pears", 7)]),
                   ("Other", [("Note",), ("Kept as it is",)])):
    ws = wb.add_worksheet(name)
    for r, row in enumerate(rows):
        ws.write_row(r, 0, row)
wb.close()
PY
XDG_CONFIG_HOME="$work/config" xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  set -e
  "$1" & app=$!
  win=""
  for _ in $(seq 50); do
    sleep 0.2
    win="$(xdotool search --name "^Orvandel$" 2>/dev/null | head -1)" && [ -n "$win" ] && break
  done
  [ -n "$win" ] || { echo "the window did not appear" >&2; kill "$app"; exit 1; }
  sleep 0.5
  click() { xdotool mousemove --window "$win" "$1" "$2" click 1; sleep 0.4; }
  click 144 71                      # Load Sample/Example File
  click 268 245                     # the number of copies
  xdotool key --window "$win" ctrl+a; xdotool type --window "$win" --delay 50 3
  click 32 275                      # Name sheets after copying
  click 268 360                     # Start Copying Sheets
  sleep 3
  xdotool mousemove --window "$win" 500 300
  sleep 0.3
  import -window "$win" "$2"
  kill "$app"
' _ "$work/Orvandel/orvandel" "$out"
echo "wrote $out"
