#!/usr/bin/env bash
# Fuzzes the parsers: scripts/fuzz.sh [seconds per target, default 60] [target...]
#
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer
# in build-fuzz/, then, one target after the other: replays its corpus (tests/fuzz/corpus/<target>),
# and fuzzes it for the given seconds (0: replay only). New inputs go to build-fuzz/findings/<target>/,
# never into the repository. A crash, a sanitizer report, a leak or an input that takes over
# 10 s stops the run with the input saved there as crash-*, leak-* or timeout-*: fix the fault,
# then copy that input into tests/fuzz/corpus/<target>/, so that every build replays it.
# Prints, per target, the inputs executed and the rate.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
dir=build-fuzz

scripts/install-deps.sh run fuzz
compiler=$(command -v clang++-14 || command -v clang++)
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="$compiler" -DTARNWICK_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)" --target tarnwick_fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for corpus in tests/fuzz/corpus/*/; do targets+=("$(basename "$corpus")"); done
fi

# The sanitizers' own settings, not those of a surrounding run (CI sends its reports to files).
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

results=()
failed=0
for target in "${targets[@]}"; do
  program="$dir/tests/fuzz/${target}_fuzz"
  seeds="tests/fuzz/corpus/$target"
  findings="$dir/findings/$target"
  mkdir -p "$findings/corpus"
  dictionary=()
  [ -f "tests/fuzz/$target.dict" ] && dictionary=(-dict="tests/fuzz/$target.dict")
  echo "== $target: replaying $(find "$seeds" -type f | wc -l) inputs of $seeds"
  if ! "$program" -runs=0 -timeout=10 -artifact_prefix="$findings/" "$seeds" \
    >"$findings/replay.log" 2>&1; then
    tail -n 40 "$findings/replay.log"
    results+=("$target: FAILED on its corpus; see $findings/replay.log")
    failed=1
    continue
  fi
  [ "$seconds" -gt 0 ] || { results+=("$target: corpus replayed"); continue; }
  echo "== $target: fuzzing for $seconds s"
  log="$findings/fuzz.log"
  status=0
  "$program" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${dictionary[@]}" "$findings/corpus" "$seeds" >"$log" 2>&1 ||
    status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    results+=("$target: FAILED after ${runs:-?} inputs; see $log and $findings/")
    failed=1
  else
    results+=("$target: ${runs:-?} inputs executed, ${rate:-?} per second, no findings")
  fi
done

echo "== fuzz summary"
printf '%s\n' "${results[@]}"
exit "$failed"
