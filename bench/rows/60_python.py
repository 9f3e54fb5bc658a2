"""The Python package: a FLAC read into NumPy next to python3-soundfile, and the
nine-band equaliser run over NumPy arrays next to the same chain run file to
nothing by the C++ block loop (tw_filetool eq9).

Every command here starts Debian's interpreter and imports the same modules,
the C++ side too (it runs tw_filetool from there), so that the rows time the
reading and the processing rather than the interpreter's start. The equaliser
runs over a 20-minute recording: read in blocks of 65536 frames into arrays
and fed to the chain piece by piece (as the C++ loop reads and processes it),
or read whole into one array first (report only: the two arrays of 420 MB
cost page faults the streaming loop never pays).
"""

BANDS = [60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000]
LEVELS = [4, -3, 2, -1, 1, -2, 3, -4, 2]


def python(env, code):
    """Debian's interpreter with the package of the build tree."""
    return ["env", f"PYTHONPATH={env.build / 'python'}", "/usr/bin/python3", "-c", code]


def rows(env, Row):
    if not (env.build / "python" / "tonewright" / "__init__.py").exists():
        return []  # built without the Python package
    bands = ", ".join(f"('peaking', {f}, 1.9, {g})" for f, g in zip(BANDS, LEVELS))
    cxx = [env.tool("tw_filetool"), "eq9", env.recording("music-20min-16.wav", 1200), "-"] + [str(g) for g in LEVELS]
    wav = env.recording("music-5min-16.wav", 300)
    twenty = env.recording("music-20min-16.wav", 1200)
    five = env.flac("music-5min-24.flac", wav, bits=24)
    level = [env.tool("tonewright"), "level", "-q", "-y", "--target", "-14", "-o", env.out("cli-level.wav"), wav]
    both = "import numpy, soundfile, subprocess, tonewright as tw\n"
    eq = f"c = tw.Chain([tw.Biquads([{bands}])])\n"
    blocks = (f"f = tw.AudioFile({twenty!r})\nfor b in f.blocks(65536):\n    c(b, f.samplerate, reset=False)\n"
              "c.flush()")
    return [
        Row("python: FLAC (5 min, 24-bit) -> float32 array",
            python(env, both + f"tw.read({five!r})"),
            python(env, both + f"soundfile.read({five!r}, dtype='float32')"),
            max_ratio=1.0, note="(vs soundfile.read)"),
        Row("python: 9-band EQ, arrays in blocks (20 min)",
            python(env, both + eq + blocks),
            python(env, both + f"subprocess.run({cxx!r}, check=True)"),
            max_ratio=1.1, note="(vs the C++ block loop, file to nothing)"),
        Row("python: tw.level (5 min)",
            python(env, both + f"tw.level({wav!r}, {env.out('py-level.wav')!r}, target=-14, overwrite=True)"),
            python(env, both + f"subprocess.run({level!r}, check=True)"),
            max_ratio=1.05, note="(vs tonewright level)"),
        Row("python: 9-band EQ, one whole array (20 min)",
            python(env, both + eq + f"a, r = tw.read({twenty!r}); c(a, r)"),
            python(env, both + f"subprocess.run({cxx!r}, check=True)"),
            note="(report only: 2 x 420 MB of arrays)"),
    ]
