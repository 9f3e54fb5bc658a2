#!/usr/bin/env bash
# Runs the examples on a generated album, as a user would, and checks what
# they say against an independent meter: the levelled file's loudness as
# ffmpeg's EBU R128 filter measures it must be -14 LUFS within 0.5 LU.
#   run_examples.sh <example_level_to_loudness> <example_split_plan>
set -euo pipefail
level=$1 plan=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
sox -R -D -n -r 44100 -b 16 -c 2 t1.wav synth 4 sine 330 pinknoise vol 0.3
sox -R -D -n -r 44100 -b 16 -c 2 t2.wav synth 5 sine 550 brownnoise vol 0.1
sox t1.wav -p pad 0 1.5 | sox - t2.wav album.wav
"$level" album.wav levelled.flac
lufs=$(ffmpeg -nostats -hide_banner -i levelled.flac -af ebur128 -f null - 2>&1 | awk '/I:/ {v=$2} END {print v}')
awk -v l="$lufs" 'BEGIN { d = l + 14; if (d < 0) d = -d; exit !(d <= 0.5) }' || { echo "levelled to $lufs LUFS"; exit 1; }
out=$("$plan" album.wav pieces/)
echo "$out"
[ "$(grep -c ' s ' <<<"$out")" -eq 2 ] || { echo "expected two pieces"; exit 1; }
[ ! -e pieces ] || { echo "the plan wrote something"; exit 1; }
echo "examples: levelled to $lufs LUFS; two pieces planned"
