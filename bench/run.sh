#!/usr/bin/env bash
# Builds orvandel-cli (optimised) and runs the whole benchmark; arguments go to
# run.py (--counts 10,100 --books small --tools ours-each,openpyxl --cap 120 ...).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target orvandel-cli --parallel "${JOBS:-2}"
exec /usr/bin/python3 "$root/bench/run.py" --cli "$build/orvandel-cli" "$@"
