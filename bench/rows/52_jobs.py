"""The jobs of the command-line tool against another build of it (say the one
before a change), on the same 5-minute recording, when TONEWRIGHT_BASELINE_CLI
names that build's tool; a row is slow past 3%. Options both builds read the
same way: a bare --target is dB RMS, split -n only plans."""
import os
import shutil


def rows(env, Row):
    baseline = os.environ.get("TONEWRIGHT_BASELINE_CLI")
    if not baseline:
        return []
    cli = env.tool("tonewright")
    wav = env.recording("music-5min-16.wav", 300)
    flac = env.flac("jobs-5min-16.flac", wav)
    # tag rewrites its input's tags: each side has its own copy.
    copies = []
    for side in ("ours", "theirs"):
        path = env.cache / f"jobs-tag-{side}.flac"
        shutil.copyfile(flac, path)
        copies.append(str(path))
    jobs = [
        ("analyse", lambda t: [t, "analyse", "-q", "--no-save", wav]),
        ("split -n", lambda t: [t, "split", "-q", "-n", wav]),
        ("level", lambda t: [t, "level", "-q", "-y", "--target", "-14", "-o", env.out(os.path.basename(t) + "-level.wav"), wav]),
    ]
    out = [Row(f"job {name} 5 min (vs baseline build)", make(cli), make(baseline), max_ratio=1.03)
           for name, make in jobs]
    out.append(Row("job tag FLAC 5 min (vs baseline build)", [cli, "tag", "-q", copies[0]],
                   [baseline, "tag", "-q", copies[1]], max_ratio=1.03))
    return out
