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
ctest --output-on-failure --timeout 900 -j "$(nproc)" 2>&1 | tee "$build/ctest.log" || status=$?
# Every file parser's fuzz target, briefly, in a clang build of its own.
fuzz_status=0
"$root/scripts/fuzz.sh" || fuzz_status=$?
[ "$fuzz_status" -eq 0 ] || status=1

# The Windows build, tested under Wine (ORVANDEL_WINDOWS=0 leaves it out).
windows_status=0
if [ "${ORVANDEL_WINDOWS:-1}" != 0 ]; then
  "$root/scripts/windows/test.sh" 2>&1 | tee "$build/windows.log" || windows_status=$?
  [ "$windows_status" -eq 0 ] || status=1
fi

# One closing line for the whole run: ctest's counts, and the fuzz run and the Windows run as
# one more check each (the Windows run prints its own counts above).
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$build/ctest.log" | tail -n 1)
failed=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$build/ctest.log" | tail -n 1)
total=${total:-0}
failed=${failed:-0}
[ "$fuzz_status" -eq 0 ] || failed=$((failed + 1))
total=$((total + 1))
if [ "${ORVANDEL_WINDOWS:-1}" != 0 ]; then
  [ "$windows_status" -eq 0 ] || failed=$((failed + 1))
  total=$((total + 1))
fi
echo "tests: $((total - failed)) passed, $failed failed"
exit "$status"
