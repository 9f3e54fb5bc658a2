#!/usr/bin/env bash
# Makes sure a PulseAudio server with a null sink answers, so that playback can be
# tested on machines without a sound card. Does nothing when one already runs.
set -u
command -v pactl >/dev/null 2>&1 || exit 1
pactl info >/dev/null 2>&1 && exit 0
command -v pulseaudio >/dev/null 2>&1 || exit 1
flags=(-D --exit-idle-time=-1 -n --load="module-null-sink sink_name=null" --load=module-native-protocol-unix)
[ "$(id -u)" -eq 0 ] && flags=(--system=false "${flags[@]}")
pulseaudio "${flags[@]}" >/dev/null 2>&1 || true
for _ in $(seq 50); do
  pactl info >/dev/null 2>&1 && { pactl set-default-sink null >/dev/null 2>&1; exit 0; }
  sleep 0.1
done
exit 1
