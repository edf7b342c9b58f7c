#!/usr/bin/env bash
# Builds and runs the whole test suite: a release build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, a ThreadSanitizer build of the tests
# that use threads, a short run of every fuzzer, and an AArch64 cross build
# run under qemu-user. Prints
# one closing line "quorva: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
total_passed=0
total_failed=0

# run_suite NAME BUILD_DIR CTEST_ARGS -- CMAKE_ARGS...
run_suite() {
  local name=$1 dir=$2 ctest_args=$3
  shift 4
  echo "=== $name: configure and build ($dir)"
  if ! cmake -S . -B "$dir" -DQUORVA_BUILD_BENCH=OFF "$@" >"$dir.configure.log" 2>&1; then
    mkdir -p "$dir"; cat "$dir.configure.log"
    echo "=== $name: configure failed"; total_failed=$((total_failed + 1)); return
  fi
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"
    echo "=== $name: build failed"; total_failed=$((total_failed + 1)); return
  fi
  echo "=== $name: test"
  local log="$dir/ctest.log"
  # shellcheck disable=SC2086
  (cd "$dir" && ctest -j"$jobs" --output-on-failure $ctest_args) 2>&1 | tee "$log"
  local summary
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "=== $name: no test summary"; total_failed=$((total_failed + 1)); return
  fi
  local failed all
  failed=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  all=$(echo "$summary" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  total_passed=$((total_passed + all - failed))
  total_failed=$((total_failed + failed))
}

run_suite release build "" -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite asan-ubsan build-asan "" -- -DCMAKE_BUILD_TYPE=Debug -DQUORVA_SANITIZE=address,undefined
run_suite tsan build-tsan "-R Thread" -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVA_SANITIZE=thread
# Every fuzzer (clang, ASan + UBSan) replays its saved regression inputs and
# runs for 60 s from its generated seeds; each clean fuzzer counts as a pass.
echo "=== fuzz: every target for 60 s"
fuzz_log=build-fuzz.log
scripts/fuzz.sh -t 60 -j "$jobs" 2>&1 | tee "$fuzz_log"
fuzz_summary=$(grep -E '^fuzz: [0-9]+ clean, [0-9]+ failed' "$fuzz_log" | tail -n 1)
if [ -z "$fuzz_summary" ]; then
  echo "=== fuzz: no summary"; total_failed=$((total_failed + 1))
else
  total_passed=$((total_passed + $(echo "$fuzz_summary" | sed -E 's/fuzz: ([0-9]+) clean.*/\1/')))
  total_failed=$((total_failed + $(echo "$fuzz_summary" | sed -E 's/.*, ([0-9]+) failed/\1/')))
fi
# AArch64: cross-built with Debian's g++-aarch64-linux-gnu, the kernel check,
# network and pipeline tests run under qemu-user. The file readers are left
# out: their decoding libraries are not installed for arm64.
run_suite aarch64 build-aarch64 \
  "-R ^(KernelCheck|Network|FrontEnd|LogEnergy|RealFft|Clustering|PairQueue|Process\.|ProcessArguments|ProcessThreads|Segments|Options|GapFilling)" \
  -- -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DQUORVA_FILE_READERS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo
echo "quorva: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
