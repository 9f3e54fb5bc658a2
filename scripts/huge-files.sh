#!/usr/bin/env bash
# Recordings at the limits of the file formats and of the stream timeline, by
# hand (outside the default suite: they take minutes and gigabytes):
#
#   scripts/huge-files.sh [build-dir] [work-dir]
#
# 1. A WAV file of more than 2^31 frames (8-bit mono, a sparse file of 2 GiB):
#    level and analyse refuse it with a message naming the frame count; no
#    crash, no output.
# 2. A recording whose stereo output outgrows 4 GiB (32-bit float mono input of
#    2^29 + 2^22 frames, sparse, 2.2 GiB; the output is 4.3 GiB of real data):
#    eq writes RF64, and the frame count in its ds64 chunk is the input's.
#    Needs about 5 GiB free in the work folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=${2:-$(mktemp -d)}
tool=$build/apps/tonewright
[ -x "$tool" ] || { echo "no $tool: build the tonewright-cli target first" >&2; exit 1; }
mkdir -p "$work"
trap 'rm -f "$work"/huge-*.wav "$work"/.tonewright-partial-*' EXIT

# A WAV header (PCM or float, 44 bytes) followed by a sparse data chunk.
sparse_wav() {  # file format(1 PCM, 3 float) channels bits frames
  python3 - "$@" <<'EOF'
import struct, sys
path, fmt, ch, bits, frames = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rate = 44100
data = frames * ch * bits // 8
with open(path, "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", 36 + data) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, fmt, ch, rate, rate * ch * bits // 8, ch * bits // 8, bits) +
            b"data" + struct.pack("<I", data))
    f.truncate(44 + data)
EOF
}

status=0
check() {  # description, then the condition's exit status
  if [ "$2" -eq 0 ]; then echo "ok   $1"; else echo "FAIL $1"; status=1; fi
}

echo "=== more than 2^31 frames"
long=$work/huge-long.wav
sparse_wav "$long" 1 1 8 $(( (1 << 31) + 1000 ))
for job in "level -y" "analyse --no-save"; do
  set +e
  # shellcheck disable=SC2086
  "$tool" $job -q "$long" >/dev/null 2>"$work/err.txt"
  code=$?
  set -e
  cat "$work/err.txt"
  check "$job refuses it (exit $code)" $(( code == 2 ? 0 : 1 ))
  grep -q "frames" "$work/err.txt"; check "$job names the frame count" $?
done
check "no output left" $( [ ! -e "$work/huge-long-levelled.wav" ] && echo 0 || echo 1 )

echo "=== output over 4 GiB"
big=$work/huge-big.wav
frames=$(( (1 << 29) + (1 << 22) ))
sparse_wav "$big" 3 1 32 $frames
out=$work/huge-big-eq.wav
start=$(date +%s)
set +e
"$tool" eq -q -y -o "$out" "$big"
code=$?
set -e
echo "eq: exit $code, $(( $(date +%s) - start )) s"
check "eq succeeds" $code
python3 - "$out" "$frames" <<'EOF'
import struct, sys
path, frames = sys.argv[1], int(sys.argv[2])
with open(path, "rb") as f:
    head = f.read(64)
assert head[0:4] == b"RF64", "not RF64: %r" % head[0:4]
assert head[12:16] == b"ds64", "no ds64 chunk"
riff, data, count = struct.unpack("<QQQ", head[20:44])
# 2 channels of 32-bit float.
assert data == frames * 8, "data size %d, expected %d" % (data, frames * 8)
print("RF64, %d bytes of data, %d frames" % (data, data // 8))
EOF
check "the output is RF64 of the input's length" $?
rm -f "$out"
exit $status
