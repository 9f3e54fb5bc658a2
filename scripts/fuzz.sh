#!/usr/bin/env bash
# Fuzzes every way bytes enter the library: the libsndfile and MP3 readers,
# statistics files, reference catalogs, the JSON descriptions of algorithms,
# CUE sheets, piece-name templates and the command-line host's option parsing.
#
#   scripts/fuzz.sh                          every target for 60 s (what CI runs)
#   scripts/fuzz.sh --seconds=3600           longer runs, by hand
#   scripts/fuzz.sh --target=mp3_reader      one target (name without tw_fuzz_)
#   scripts/fuzz.sh --jobs=1                 targets side by side (default: cores)
#   scripts/fuzz.sh --keep-corpus            go on from the inputs found last time
#
# Builds build-fuzz/ with clang: the library with -fsanitize=fuzzer-no-link and
# AddressSanitizer + UndefinedBehaviorSanitizer (OpenMP off), the targets linked
# with -fsanitize=fuzzer. Seeds come from scripts/fuzz-corpus.sh. A crash, a leak,
# a sanitizer report, an input slower than the time-out (10 s) or larger than the memory
# limit leaves its input in build-fuzz/crashes/ and makes the script fail; turn
# each one into a regression test in tests/reliability/test_fuzz_regressions.cpp.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
only=""
jobs=$(nproc)
keep=0
for arg in "$@"; do
  case "$arg" in
    --seconds=*) seconds=${arg#--seconds=} ;;
    --target=*) only=${arg#--target=} ;;
    --jobs=*) jobs=${arg#--jobs=} ;;
    --keep-corpus) keep=1 ;;
    *) echo "unknown option: $arg" >&2; exit 1 ;;
  esac
done

"$root/scripts/install-deps.sh"
build=${TONEWRIGHT_FUZZ_BUILD_DIR:-$root/build-fuzz}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTONEWRIGHT_SANITIZE=fuzzer-no-link,address,undefined -DTONEWRIGHT_OPENMP=OFF \
  -DTONEWRIGHT_BUILD_FUZZ=ON -DTONEWRIGHT_BUILD_TESTS=OFF -DTONEWRIGHT_BUILD_BENCH=OFF \
  -DTONEWRIGHT_BUILD_APPS=ON -DTONEWRIGHT_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
seedsdir=$build/seeds
workdir=$build/work
crashes=$build/crashes
logs=$build/logs
"$root/scripts/fuzz-corpus.sh" "$build/fuzz/tw_fuzz_seeds" "$seedsdir"
[ "$keep" = 1 ] || rm -rf "$workdir"
mkdir -p "$workdir" "$crashes" "$logs"

targets=()
for exe in "$build"/fuzz/tw_fuzz_*; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue  # not the build's *_autogen folders
  name=$(basename "$exe"); name=${name#tw_fuzz_}
  [ "$name" = seeds ] && continue
  [ -n "$only" ] && [ "$name" != "$only" ] && continue
  targets+=("$name")
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz target named '$only'" >&2; exit 1; }

run_one() {
  local name=$1
  mkdir -p "$workdir/$name" "$seedsdir/$name"
  # The first folder receives the new inputs; the seeds are read only.
  "$build/fuzz/tw_fuzz_$name" "$workdir/$name" "$seedsdir/$name" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$crashes/$name-" >"$logs/$name.log" 2>&1
}

echo "=== fuzzing ${targets[*]}, ${seconds} s each, ${jobs} side by side"
failed=()
pids=()
names=()
for name in "${targets[@]}"; do
  run_one "$name" &
  pids+=($!); names+=("$name")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || failed+=("${names[0]}")
    pids=("${pids[@]:1}"); names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do wait "${pids[$i]}" || failed+=("${names[$i]}"); done

printf '%-20s %12s %10s %8s %s\n' target executions exec/s corpus result
for name in "${targets[@]}"; do
  log=$logs/$name.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  corpus=$(ls "$workdir/$name" | wc -l)
  result=ok
  for f in "${failed[@]}"; do [ "$f" = "$name" ] && result=FAILED; done
  printf '%-20s %12s %10s %8s %s\n' "$name" "${runs:-?}" "${rate:-?}" "$corpus" "$result"
done
if [ ${#failed[@]} -gt 0 ]; then
  for name in "${failed[@]}"; do
    echo "=== $name: end of its log ($logs/$name.log)"
    tail -60 "$logs/$name.log"
    for f in "$crashes/$name"-*; do
      [ -f "$f" ] || continue
      echo "--- input $f ($(stat -c %s "$f") bytes), base64:"
      base64 -w 120 "$f" | head -40
    done
  done
  exit 1
fi
