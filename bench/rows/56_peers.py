"""The main jobs next to the tools people use for the same work, on the same
generated 5-minute 44.1 kHz stereo recording, with the goals of the speed work
(ratio = tonewright's time / the peer's). The analysis and the split detection
rows live beside their own kind (55_loudness, 20_regions)."""
import shutil


def rows(env, Row):
    cli = env.tool("tonewright")
    five = env.recording("music-5min-16.wav", 300)
    flac = env.flac("peers-5min-16.flac", five)
    tagged, theirs = env.cache / "peers-tag.flac", env.cache / "peers-tag-theirs.flac"
    for copy in (tagged, theirs):
        shutil.copyfile(flac, copy)
    ffmpeg = ["ffmpeg", "-nostats", "-hide_banner", "-y", "-i", five, "-af"]
    return [
        Row("level, regions + limiter (vs ffmpeg dynaudnorm)",
            [cli, "level", "-q", "-y", "--target", "-14", "-o", env.out("peer-level.wav"), five],
            ffmpeg + ["dynaudnorm", env.out("peer-dynaudnorm.wav")], max_ratio=1.0),
        Row("level -14 LUFS, -1 dBTP (vs ffmpeg loudnorm)",
            [cli, "level", "-q", "-y", "--target", "-14LUFS", "--true-peak", "-1", "-o",
             env.out("peer-level-lufs.wav"), five],
            ffmpeg + ["loudnorm=I=-14:TP=-1", "-ar", "44100", env.out("peer-loudnorm.wav")], max_ratio=0.3),
        # Tagging reads the whole file once: decoding alone is its floor.
        Row("tag FLAC (vs decoding alone, ffmpeg)", [cli, "tag", "-q", str(tagged)],
            ["ffmpeg", "-nostats", "-hide_banner", "-i", str(flac), "-f", "null", "-"], max_ratio=1.3),
    ] + ([Row("tag FLAC, track gain and true peak (vs loudgain -s e)", [cli, "tag", "-q", str(tagged)],
              ["loudgain", "-q", "-s", "e", str(theirs)], max_ratio=0.5)] if shutil.which("loudgain") else [])
