#!/usr/bin/env bash
# Starts, plays briefly and stops the command-line player over and over, with
# busy processes taking the cores, and counts the runs that die instead of
# ending (an abort inside the audio client, a crash). By hand:
#
#   scripts/play-soak.sh                       500 runs, two busy processes
#   scripts/play-soak.sh --runs=2000 --load=4 --build=build-asan
#
# Playback goes to a PulseAudio null sink (scripts/start-audio.sh starts one when
# none answers). The runs take turns at the three ways playback is stopped:
# --duration, SIGTERM and SIGINT while it plays. Exit status 1 when any run died.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=500
load=2
build=$root/build
for arg in "$@"; do
  case "$arg" in
    --runs=*) runs=${arg#--runs=} ;;
    --load=*) load=${arg#--load=} ;;
    --build=*) build=${arg#--build=} ;;
    *) echo "unknown option: $arg" >&2; exit 1 ;;
  esac
done
tool=$build/apps/tonewright
[ -x "$tool" ] || { echo "no $tool: build the tonewright-cli target first" >&2; exit 1; }
command -v sox >/dev/null || { echo "sox is needed to make the test recording" >&2; exit 1; }
"$root/scripts/start-audio.sh" || { echo "no audio server could be started" >&2; exit 1; }

work=$(mktemp -d)
busy=()
cleanup() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 5 sine 440 vol 0.3
for _ in $(seq "$load"); do
  ( while :; do :; done ) &
  busy+=($!)
done

died=0
failed=0
start=$(date +%s)
for i in $(seq "$runs"); do
  case $((i % 3)) in
    0) rc=0; "$tool" play --duration 0.3 "$work/tone.wav" >/dev/null 2>"$work/err" || rc=$? ;;
    *)
      sig=$([ $((i % 3)) -eq 1 ] && echo TERM || echo INT)
      "$tool" play "$work/tone.wav" >"$work/out" 2>"$work/err" &
      pid=$!
      # Once it says it plays (a signal before the job has set up its handlers
      # ends any program), then a little later.
      for _ in $(seq 100); do grep -q playing "$work/out" 2>/dev/null && break; sleep 0.05; done
      sleep 0.2
      kill -s "$sig" "$pid" 2>/dev/null || true
      rc=0; wait "$pid" || rc=$?
      # The job's own answer to a signal it handled.
      [ "$rc" -eq 130 ] && rc=0
      ;;
  esac
  if [ "$rc" -gt 128 ]; then
    died=$((died + 1))
    echo "run $i: ended by signal $((rc - 128)): $(tail -n 1 "$work/err")"
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
    echo "run $i: exit $rc: $(tail -n 1 "$work/err")"
  fi
done
echo "play soak: $runs runs in $(( $(date +%s) - start )) s with $load busy processes: $died died, $failed failed"
[ "$died" -eq 0 ] && [ "$failed" -eq 0 ]
