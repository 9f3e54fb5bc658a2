#!/usr/bin/env bash
# Long runs of the threading stress and soak tests under ThreadSanitizer, by hand:
#
#   scripts/soak.sh                       10 minutes each, 10 000 device start/stop cycles
#   scripts/soak.sh --seconds=120 --cycles=2000
#
# Builds build-tsan/ as scripts/test.sh --sanitize=thread does and runs the
# tests whose names say Soak or Stress (the streaming device started and stopped
# over and over, a pipe producer and consumer at full speed, the device with an
# output pulling while it is started, stopped and handed new sources). CI runs
# the same tests for about a second each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=600
cycles=10000
for arg in "$@"; do
  case "$arg" in
    --seconds=*) seconds=${arg#--seconds=} ;;
    --cycles=*) cycles=${arg#--cycles=} ;;
    *) echo "unknown option: $arg" >&2; exit 1 ;;
  esac
done
"$root/scripts/install-deps.sh"
build=$root/build-tsan
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONEWRIGHT_SANITIZE=thread -DTONEWRIGHT_OPENMP=OFF \
  -DTONEWRIGHT_BUILD_BENCH=OFF -DTONEWRIGHT_BUILD_APPS=OFF -DTONEWRIGHT_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target tw_io_tests tw_playback_tests
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp"
export TONEWRIGHT_SOAK_SECONDS=$seconds TONEWRIGHT_SOAK_CYCLES=$cycles
status=0
for t in "tw_io_tests:*Soak*Threads*:*Stress*Threads*" "tw_playback_tests:*Soak*Threads*:*Stress*Threads*"; do
  exe=${t%%:*}
  filter=${t#*:}
  echo "=== $exe ($filter), ${seconds} s, ${cycles} cycles"
  start=$(date +%s)
  "$build/tests/$exe" --gtest_filter="$filter" || status=1
  echo "=== $exe: $(( $(date +%s) - start )) s"
done
exit $status
