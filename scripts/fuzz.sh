#!/usr/bin/env bash
# Builds the fuzz targets with clang in a build folder of their own and runs each for a short,
# fixed time (FUZZ_SECONDS, 30 by default). Fails when a target finds a crash, a leak or
# undefined behaviour; the input that did it is left in $build/fuzz-artifacts/.
# The engine's own tests are built there too, against the same libraries (compiled with
# AddressSanitizer and UndefinedBehaviorSanitizer), and run first: a memory fault or undefined
# behaviour that a test reaches fails the run (SANITIZED_TESTS=0 leaves them out).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${FUZZ_SECONDS:-30}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DORVANDEL_BUILD_FUZZ=ON -DORVANDEL_BUILD_GUI=OFF -DORVANDEL_BUILD_TESTS=ON >/dev/null
mapfile -t targets < <(grep -v '^$' "$build/fuzz_targets.txt")
sanitized_tests=()
[ "${SANITIZED_TESTS:-1}" = 0 ] || sanitized_tests=(engine_test biff_test ods_test formula_refs_test sheet_names_test
                                                   naming_rule_test out_of_memory_test layers_test)
cmake --build "$build" --target "${targets[@]}" "${sanitized_tests[@]}" --parallel "${JOBS:-2}"

failed=()
for test in "${sanitized_tests[@]}"; do
  binary=$(find "$build/tests" -name "$test" -type f -perm -u+x | head -n 1)
  echo "sanitized: $test"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      LSAN_OPTIONS=suppressions="$root/fuzz/lsan_suppressions.txt" \
      QT_QPA_PLATFORM=offscreen "$binary" --gtest_brief=1 >"$build/$test.log" 2>&1; then
    tail -n 60 "$build/$test.log"
    failed+=("$test")
  fi
done

seeds="$build/fuzz-seeds"
/usr/bin/python3 "$root/fuzz/make_seeds.py" "$seeds/fuzz_open_copy_save" >/dev/null
mkdir -p "$build/fuzz-artifacts"

for target in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  seed_dirs=()
  [ -d "$seeds/$target" ] && seed_dirs+=("$seeds/$target")
  # The raw ZIP reader starts from the engine's own target's workbooks.
  [ "$target" = fuzz_zip_layout ] && seed_dirs+=("$seeds/fuzz_open_copy_save")
  echo "fuzz: $target for ${seconds}s"
  # Full stacks for every allocation: the fast unwinder stops at libraries built without frame
  # pointers (glib), and a leak inside libgsf would then show only glib's frames and escape its
  # suppression.
  if ! LSAN_OPTIONS=suppressions="$root/fuzz/lsan_suppressions.txt":fast_unwind_on_malloc=0 \
      "$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-" \
      "$corpus" "${seed_dirs[@]}" >"$build/fuzz-artifacts/$target.log" 2>&1; then
    tail -n 60 "$build/fuzz-artifacts/$target.log"
    failed+=("$target")
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-artifacts/$target.log" || true
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: FAILED: ${failed[*]} (inputs in $build/fuzz-artifacts/, logs in $build/)" >&2
  exit 1
fi
echo "fuzz: every target ran ${seconds}s without a finding"
