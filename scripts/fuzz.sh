#!/bin/sh
# Builds the fuzz targets natively (tools/fuzz/CMakeLists.txt: clang's libFuzzer under
# AddressSanitizer and UndefinedBehaviorSanitizer) into BUILD/fuzz and runs each for
# SECONDS (default 60), FUZZ_PARALLEL at a time (default 1). A target's corpus,
# BUILD/fuzz/corpus/TARGET, grows from the seeds in tests/fuzz/TARGET/ and is kept for
# the next run; an input that breaks a target is saved in BUILD/fuzz/findings/TARGET/
# and fails the run.
#   scripts/fuzz.sh [BUILD [SECONDS [TARGET...]]]
set -e
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)
seconds="${2:-60}"
parallel="${FUZZ_PARALLEL:-1}"
if [ $# -gt 2 ]; then shift 2; else set --; fi
tree="$build/fuzz"
seeds="$source_dir/tests/fuzz"
[ -f "$tree/CMakeCache.txt" ] || cmake -S "$source_dir/tools/fuzz" -B "$tree" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$tree" -j "${JOBS:-$(nproc)}" >"$tree/build.log" 2>&1 || { cat "$tree/build.log"; exit 1; }
[ $# -gt 0 ] || set -- $(cd "$seeds" && ls ./*.cpp | sed 's|^\./||; s|\.cpp$||')

# One target's run; its line of figures (libFuzzer's last status line and final
# statistics) or its finding goes to TARGET.result.
run() {
  log="$tree/$1.log"
  mkdir -p "$tree/corpus/$1" "$tree/findings/$1"
  dictionary=""
  [ -f "$seeds/$1.dict" ] && dictionary="-dict=$seeds/$1.dict"
  # An input that takes 10 s is a finding too.
  if "$tree/fuzz_$1" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$tree/findings/$1/" $dictionary "$tree/corpus/$1" "$seeds/$1" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    coverage=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[^ ]+' || true)
    echo "fuzz $1: $runs runs in $seconds s ($rate/s), $coverage" >"$tree/$1.result"
  else
    { echo "fuzz $1: FINDING (log $log)"
      grep -E 'ERROR|invariant|SUMMARY|runtime error|Test unit written' "$log" | head -20; } >"$tree/$1.result"
  fi
}

started=0
for target in "$@"; do
  run "$target" &
  started=$((started + 1))
  [ $((started % parallel)) -ne 0 ] || wait
done
wait
failed=""
for target in "$@"; do
  cat "$tree/$target.result"
  grep -q FINDING "$tree/$target.result" && failed="$failed $target"
done
[ -z "$failed" ] || { echo "fuzz: findings in$failed"; exit 1; }
