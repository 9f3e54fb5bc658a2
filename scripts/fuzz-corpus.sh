#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets:
#   scripts/fuzz-corpus.sh <tw_fuzz_seeds program> <corpus folder>
# The library writes valid files of every kind it reads (tw_fuzz_seeds); sox and
# lame add files the library does not write (mono, many channels, u-law and ADPCM
# WAV, MP3 with ID3 tags and a cover picture from another encoder); then every
# seed gets truncated and bit-flipped variants. Nothing here is committed: the
# corpora are made anew for each run.
set -euo pipefail
seeds=$1
out=$2
rm -rf "$out"
mkdir -p "$out"
"$seeds" "$out"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
snd=$out/sndfile_reader
mp3=$out/mp3_reader
if command -v sox >/dev/null; then
  tone() { sox -q -n -r "$1" -c "$2" "${@:3}" synth 0.08 sine 440 sine 1000 sine 3000 2>/dev/null || true; }
  tone 8000 1 -b 16 "$snd/sox-mono.wav"
  tone 11025 6 -b 16 "$snd/sox-6ch.wav"
  tone 8000 1 -e u-law "$snd/sox-ulaw.wav"
  tone 8000 1 -e a-law "$snd/sox-alaw.wav"
  tone 22050 2 -e ima-adpcm "$snd/sox-ima.wav"
  tone 22050 2 -e ms-adpcm "$snd/sox-msadpcm.wav"
  tone 16000 1 -e gsm-full-rate "$snd/sox-gsm.wav"
  tone 48000 2 -b 32 -e floating-point "$snd/sox-float.wav"
  tone 96000 1 -b 24 "$snd/sox-mono24.flac"
  tone 32000 1 -C 3 "$snd/sox-mono.ogg"
  tone 16000 1 -C 32 "$mp3/sox-mono.mp3"
  tone 8000 2 -C 8 "$mp3/sox-8k.mp3"
  sox -q -n -r 44100 -c 2 -b 16 "$tmp/tone.wav" synth 0.1 sine 440 sine 660 2>/dev/null || true
fi
if command -v lame >/dev/null && [ -f "$tmp/tone.wav" ]; then
  # A 1x1 PNG, as a cover picture of the right kind.
  /usr/bin/python3 - "$tmp/cover.png" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)) \
    + chunk(b"IDAT", zlib.compress(b"\x00\xff\x00\x00")) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
PY
  lame --quiet -b 64 --tt "Lame title" --ta "Lame artist" --tl "Album" --ty 1999 --tn 4/12 --tg Rock \
    --tc "comment" --ti "$tmp/cover.png" "$tmp/tone.wav" "$mp3/lame-cover.mp3" || true
  lame --quiet -V 6 --id3v1-only --tt "v1 only" "$tmp/tone.wav" "$mp3/lame-v1.mp3" || true
  lame --quiet -t -b 32 "$tmp/tone.wav" "$mp3/lame-noinfo.mp3" || true
fi

# Damaged variants: cuts at fixed fractions and inside the header, and a few
# files with bits flipped, at positions drawn from a fixed seed so that every
# run starts from the same corpus.
/usr/bin/python3 - "$out" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20240611)
for target in sorted(os.listdir(root)):
    folder = os.path.join(root, target)
    for name in sorted(os.listdir(folder)):
        data = open(os.path.join(folder, name), "rb").read()
        if len(data) < 8:
            continue
        stem = os.path.join(folder, name)
        for frac in (0.25, 0.5, 0.9):
            open(f"{stem}.cut{int(frac * 100)}", "wb").write(data[: int(len(data) * frac)])
        open(f"{stem}.cuthead", "wb").write(data[: min(len(data) - 1, 44)])
        for k in range(3):
            flipped = bytearray(data)
            # Headers hold the lengths and offsets: flip there more often.
            for _ in range(1 + k * 3):
                limit = len(flipped) if rng.random() < 0.5 else min(len(flipped), 256)
                at = rng.randrange(limit)
                flipped[at] ^= 1 << rng.randrange(8)
            open(f"{stem}.flip{k}", "wb").write(bytes(flipped))
PY
for d in "$out"/*; do echo "$(basename "$d"): $(ls "$d" | wc -l) seeds"; done
