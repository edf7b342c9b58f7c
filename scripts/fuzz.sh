#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan, generates their seed
# corpora, replays the saved regression inputs, then fuzzes each target for a
# given time and prints a table of executions, time and findings.
#   scripts/fuzz.sh [-t SECONDS] [-j PARALLEL] [TARGET...]
# Targets: model_loader process process_file mp4_parser (default: all).
# Build and corpora go to $FUZZ_DIR (default build-fuzz). New coverage is
# kept in $FUZZ_DIR/corpus/TARGET; crashing inputs in $FUZZ_DIR/artifacts.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=60
parallel=1
while getopts "t:j:" opt; do
  case "$opt" in
    t) seconds=$OPTARG ;;
    j) parallel=$OPTARG ;;
    *) echo "usage: $0 [-t SECONDS] [-j PARALLEL] [TARGET...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(model_loader process process_file mp4_parser)

dir=${FUZZ_DIR:-build-fuzz}
echo "=== fuzz: configure and build ($dir)"
mkdir -p "$dir"
if ! CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
     -DQUORVA_FUZZ=ON -DQUORVA_SANITIZE=address,undefined -DQUORVA_BUILD_TESTS=OFF \
     -DQUORVA_BUILD_BENCH=OFF -DQUORVA_BUILD_TOOLS=OFF >"$dir/configure.log" 2>&1; then
  cat "$dir/configure.log"; echo "fuzz: 0 clean, ${#targets[@]} failed"; exit 1
fi
if ! cmake --build "$dir" -j"$(nproc 2>/dev/null || echo 2)" >"$dir/build.log" 2>&1; then
  tail -n 60 "$dir/build.log"; echo "fuzz: 0 clean, ${#targets[@]} failed"; exit 1
fi
if [ ! -d "$dir/seeds/model_loader" ] || [ scripts/make-fuzz-seeds.sh -nt "$dir/seeds" ]; then
  rm -rf "$dir/seeds"
  if ! scripts/make-fuzz-seeds.sh "$dir/seeds" "$dir/tests/fuzz/quorva_fuzz_seed_models"; then
    echo "fuzz: seed generation failed"; echo "fuzz: 0 clean, ${#targets[@]} failed"; exit 1
  fi
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# run_target NAME: replays the regression inputs, then fuzzes for $seconds.
# Writes one table row to $dir/logs/NAME.row.
run_target() {
  local name=$1 bin="$dir/tests/fuzz/fuzz_$1" log="$dir/logs/$1.log"
  local regressions="tests/fuzz/regressions/$1"
  mkdir -p "$dir/corpus/$name" "$dir/artifacts/$name"
  : >"$log"
  local result=clean
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    if ! "$bin" "$regressions"/* >>"$log" 2>&1; then result="regression failed"; fi
  fi
  local start end execs=0
  start=$(date +%s)
  if [ "$result" = clean ]; then
    if ! "$bin" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 \
         -artifact_prefix="$dir/artifacts/$name/" "$dir/corpus/$name" "$dir/seeds/$name" \
         >>"$log" 2>&1; then
      result="FINDING: $(ls -t "$dir/artifacts/$name" | head -n 1)"
    fi
  fi
  end=$(date +%s)
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$')
  printf '%-14s %8s s %12s execs %8s corpus  %s\n' "$name" "$((end - start))" "${execs:-?}" \
    "$(find "$dir/corpus/$name" -type f | wc -l)" "$result" >"$dir/logs/$name.row"
}

mkdir -p "$dir/logs"
echo "=== fuzz: ${#targets[@]} targets, $seconds s each, $parallel at a time"
running=0
for t in "${targets[@]}"; do
  if [ ! -x "$dir/tests/fuzz/fuzz_$t" ]; then
    echo "fuzz: no target $t" >&2
    printf '%-14s not built\n' "$t" >"$dir/logs/$t.row"
    continue
  fi
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then wait -n; running=$((running - 1)); fi
done
wait

clean=0
failed=0
echo
printf '%-14s %10s %18s %15s  %s\n' target time executions "corpus files" result
for t in "${targets[@]}"; do
  row=$(cat "$dir/logs/$t.row")
  echo "$row"
  case "$row" in
    *" clean") clean=$((clean + 1)) ;;
    *) failed=$((failed + 1)); tail -n 40 "$dir/logs/$t.log" ;;
  esac
done
echo "fuzz: $clean clean, $failed failed"
[ "$failed" -eq 0 ]
