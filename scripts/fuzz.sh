#!/usr/bin/env bash
# Builds the fuzz targets with clang in a build folder of their own and runs each for a short,
# fixed time (FUZZ_SECONDS, 30 by default). Fails when a target finds a crash, a leak or
# undefined behaviour; the input that did it is left in $build/fuzz-artifacts/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-30}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DORVANDEL_BUILD_FUZZ=ON -DORVANDEL_BUILD_GUI=OFF -DORVANDEL_BUILD_TESTS=OFF >/dev/null
mapfile -t targets < <(grep -v '^$' "$build/fuzz_targets.txt")
cmake --build "$build" --target "${targets[@]}" --parallel "${JOBS:-2}"

seeds="$build/fuzz-seeds"
/usr/bin/python3 "$root/fuzz/make_seeds.py" "$seeds/fuzz_open_copy_save" >/dev/null
mkdir -p "$build/fuzz-artifacts"

failed=()
for target in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  seed_dirs=()
  [ -d "$seeds/$target" ] && seed_dirs+=("$seeds/$target")
  echo "fuzz: $target for ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-" \
      "$corpus" "${seed_dirs[@]}" >"$build/fuzz-artifacts/$target.log" 2>&1; then
    tail -n 60 "$build/fuzz-artifacts/$target.log"
    failed+=("$target")
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-artifacts/$target.log" || true
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: FAILED: ${failed[*]} (inputs in $build/fuzz-artifacts/)" >&2
  exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
