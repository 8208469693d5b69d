#!/usr/bin/env bash
# Configures, builds and tests each given preset (default: all of them), then prints one
# summary line per target and a closing total. Fails if a target fails or runs no test.
# "packages" makes the release packages (scripts/make-packages.sh) and runs the tests of
# tests/packages on them; its hosts use the plug-ins of the linux, win32 and win64 builds.
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux win32 win64 linux-asan linux-tsan linux-fuzz packages)
jobs=$(nproc)
summary=()
total_passed=0
total_failed=0
status=0

for preset in "${presets[@]}"; do
  log=build/$preset-test.log
  mkdir -p build
  if [ "$preset" = packages ]; then
    test_dir=build/packages-test
    build() { scripts/make-packages.sh && cmake -S tests/packages -B "$test_dir"; }
    run_tests() { ctest --test-dir "$test_dir" --output-on-failure; }
  else
    test_dir=build/$preset
    build() { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs"; }
    run_tests() { ctest --preset "$preset" --output-on-failure; }
  fi
  if ! build >"build/$preset-build.log" 2>&1; then
    tail -n 40 "build/$preset-build.log"
    summary+=("$preset: build failed, see build/$preset-build.log")
    status=1
    continue
  fi
  run_tests >"$log" 2>&1
  ctest_status=$?
  # Each ctest test runs a whole GoogleTest suite; count the cases of all of them.
  passed=$(grep -hoE '^\[  PASSED  \] [0-9]+ test' "$test_dir/Testing/Temporary/LastTest.log" | awk '{s+=$4} END {print s+0}')
  failed=$(grep -hoE '^\[  FAILED  \] [0-9]+ test' "$test_dir/Testing/Temporary/LastTest.log" | awk '{s+=$4} END {print s+0}')
  # A preset that runs no GoogleTest suite (linux-fuzz, packages: one test per check) counts
  # its ctest tests instead.
  if ! grep -q '^\[==========\]' "$test_dir/Testing/Temporary/LastTest.log"; then
    read -r failed total < <(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+)$/\1 \2/p' "$log")
    failed=${failed:-0}
    passed=$(( ${total:-0} - failed ))
  fi
  if [ "$ctest_status" -ne 0 ] || [ "$passed" -eq 0 ]; then
    cat "$log"
    status=1
    [ "$failed" -gt 0 ] || failed=1
  fi
  summary+=("$preset: $passed passed, $failed failed")
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
done

printf '%s\n' "${summary[@]}"
echo "total: $total_passed passed, $total_failed failed"
exit $status
