#!/usr/bin/env bash
# Builds tonewright and runs its test suite.
#
#   scripts/test.sh                            Release build in build/, every test (the
#                                              Python package's too, label python)
#   scripts/test.sh --sanitize=address,undefined   build-asan/, every test
#   scripts/test.sh --sanitize=thread          build-tsan/, the tests labelled threads
#
# Installs the Debian packages it needs first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize=""
for arg in "$@"; do
  case "$arg" in
    --sanitize=*) sanitize=${arg#--sanitize=} ;;
    *) echo "unknown option: $arg" >&2; exit 1 ;;
  esac
done

"$root/scripts/install-deps.sh"
jobs=$(nproc)
args=(-DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3)
ctest_args=(--output-on-failure -j"$jobs")
case "$sanitize" in
  "") build=${TONEWRIGHT_BUILD_DIR:-$root/build} ;;
  *thread*)
    build=$root/build-tsan
    # libgomp is not instrumented; the threading under test is the library's own.
    # A sanitized library cannot be loaded into an uninstrumented interpreter:
    # no Python package in the sanitizer builds.
    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONEWRIGHT_SANITIZE=thread -DTONEWRIGHT_OPENMP=OFF
          -DTONEWRIGHT_BUILD_BENCH=OFF -DTONEWRIGHT_BUILD_APPS=OFF -DTONEWRIGHT_BUILD_EXAMPLES=OFF
          -DTONEWRIGHT_BUILD_PYTHON=OFF)
    ctest_args+=(-L threads)
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/scripts/tsan.supp"
    ;;
  *)
    build=$root/build-asan
    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DTONEWRIGHT_SANITIZE=$sanitize" -DTONEWRIGHT_BUILD_BENCH=OFF
          -DTONEWRIGHT_BUILD_PYTHON=OFF)
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
    export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    ;;
esac

cmake -S "$root" -B "$build" "${args[@]}" >/dev/null
cmake --build "$build" -j"$jobs"
"$root/scripts/start-audio.sh" || echo "note: no audio server; playback tests will skip" >&2
cd "$build"
ctest "${ctest_args[@]}"
