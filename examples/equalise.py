#!/usr/bin/python3
"""Measures a recording, runs it through the player's equaliser and a limiter
block by block, and writes the result with the input's tags.

    PYTHONPATH=build/python examples/equalise.py in.flac out.flac [preset]

The recording is never held whole in memory: it is read in blocks, each block
goes through the chain (reset=False keeps the chain's state from one block to
the next), and the pieces the chain gives back are written out as one array
at the end (a long recording would go to a file piece by piece instead).
"""
import sys

import numpy as np

import tonewright as tw


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 1
    source, target = argv[1], argv[2]
    preset = argv[3] if len(argv) == 4 else "Rock"
    if preset not in tw.PlayerEqualizer.presets():
        print(f"presets: {', '.join(tw.PlayerEqualizer.presets())}", file=sys.stderr)
        return 1

    before = tw.loudness(source)
    print(f"{source}: {before.integrated:.1f} LUFS, range {before.range:.1f} LU, "
          f"true peak {max(before.true_peak):.1f} dBTP")
    for gap in tw.gaps(source).gaps:
        print(f"  silence at {gap.start / before.samplerate:.2f} s for {gap.frames / before.samplerate:.2f} s")

    chain = tw.Chain([tw.PlayerEqualizer(preset=preset), tw.Limiter(), tw.TruePeakLimiter(-1.0)])
    pieces = []
    with tw.AudioFile(source) as f:
        for block in f.blocks(1 << 16):
            pieces.append(chain(block, f.samplerate, reset=False))
        pieces.append(chain.flush())
        tw.write(target, np.concatenate(pieces, axis=1), f.samplerate, bits=24, tags=f.tags, cover=f.cover)

    after = tw.loudness(target)
    print(f"{target}: {after.integrated:.1f} LUFS, true peak {max(after.true_peak):.1f} dBTP ({preset})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
