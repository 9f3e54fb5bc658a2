"""Region detection, splitting a recording into one file per stretch of sound, and levelling."""
import os
import subprocess


def album(env, name, tracks, track_s, gap_s):
    """Tracks of tone and noise at different levels, separated by digital silence."""
    path = env.cache / name
    if path.exists():
        return str(path)
    parts = []
    for i in range(tracks):
        part = env.cache / f"{name}.t{i}.wav"
        subprocess.run(["sox", "-n", "-r", "44100", "-b", "16", "-c", "2", str(part), "synth", str(track_s),
                        "sine", str(180 + 40 * i), "pinknoise", "vol", str(0.15 + 0.1 * (i % 3))], check=True)
        parts.append(str(part))
        if i + 1 < tracks:
            gap = env.cache / f"{name}.gap.wav"
            subprocess.run(["sox", "-n", "-r", "44100", "-b", "16", "-c", "2", str(gap), "trim", "0", str(gap_s)],
                           check=True)
            parts.append(str(gap))
    tmp = str(path) + ".tmp.wav"
    subprocess.run(["sox"] + parts + [tmp], check=True)
    os.replace(tmp, path)
    for p in set(parts):
        os.remove(p)
    return str(path)


def rows(env, Row):
    tool = env.tool("tw_filetool")
    cli = env.tool("tonewright")
    album5 = album(env, "album-5min-16.wav", 6, 49, 1)
    five = env.recording("music-5min-16.wav", 300)
    twenty = album(env, "album-20min-16.wav", 7, 168, 3)
    regions = env.out("album-20min-regions.json")
    subprocess.run([tool, "detect", twenty, regions], check=True)
    folder = env.cache / "out-split"
    folder.mkdir(exist_ok=True)
    five_regions = env.out("music-5min-regions.json")
    subprocess.run([tool, "detect", five, five_regions], check=True)
    return [
        # The detection pass alone: a dry run finds the gaps and plans the pieces.
        Row("split detection 5 min (vs ffmpeg silencedetect)",
            [cli, "split", "-q", "-n", album5],
            ["ffmpeg", "-v", "quiet", "-nostats", "-i", album5, "-af", "silencedetect=noise=-60dB:d=0.4",
             "-f", "null", "-"], max_ratio=0.5),
        Row("RMSStepDetector, 5 min wav (x real time)", [tool, "detect", five, "-"], realtime_s=300,
            min_realtime=300),
        Row("split 20 min wav -> 7 wav (vs scale -> 1 wav)",
            [tool, "split", twenty, str(folder / "album.wav"), regions],
            [tool, "scale", twenty, env.out("album-scale.wav"), "0"], max_ratio=1.0),
        Row("detect + split 20 min wav (vs scale -> 1 wav)",
            [tool, "split", twenty, str(folder / "album.wav"), "-"],
            [tool, "scale", twenty, env.out("album-scale.wav"), "0"], note="(two passes; report only)"),
        Row("wav -> RMS amplifier + limiter -> null (5 min)", [tool, "level", five, "-", five_regions],
            ["ffmpeg", "-v", "error", "-nostdin", "-i", five, "-af", "alimiter", "-f", "null", "-"], max_ratio=1.0),
    ]
