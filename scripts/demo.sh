#!/usr/bin/env bash
# Builds tonewright and runs its demonstration on the given recording, or on one
# it generates when none is given.
#
#   scripts/demo.sh [recording.wav|.flac|.ogg|.mp3]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build=${TONEWRIGHT_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target tonewright-cli >/dev/null
exec "$build/apps/tonewright" demo "$@"
