#!/usr/bin/env bash
# Line coverage of the library (core algo io filters fft dynamics stats playback)
# by the whole test suite, from an unoptimised instrumented build in build-cov/.
#
#   scripts/coverage.sh            configure, build, run every test, print the summary
#   scripts/coverage.sh --html     also write build-cov/coverage/index.html
#
# Installs the Debian packages it needs first (gcovr among them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TONEWRIGHT_COV_DIR:-$root/build-cov}
jobs=${JOBS:-$(nproc)}
html=0
for arg in "$@"; do
  case "$arg" in
    --html) html=1 ;;
    *) echo "unknown option: $arg" >&2; exit 1 ;;
  esac
done

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_C_FLAGS="--coverage -O0" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
  -DTONEWRIGHT_BUILD_BENCH=OFF -DTONEWRIGHT_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$jobs"
# Counters from an earlier run would add up with this one.
find "$build" -name '*.gcda' -delete
"$root/scripts/start-audio.sh" || echo "note: no audio server; playback tests will skip" >&2
(cd "$build" && ctest -j"$jobs" --output-on-failure) || echo "note: some tests failed; coverage still reported" >&2

filters=()
for d in core algo io filters fft dynamics stats playback; do
  filters+=(--filter "$root/$d/")
done
out=()
if [ "$html" = 1 ]; then
  mkdir -p "$build/coverage"
  out=(--html-details "$build/coverage/index.html")
fi
gcovr --root "$root" --object-directory "$build" "${filters[@]}" \
  --print-summary -o "$build/coverage.txt" "${out[@]}"
