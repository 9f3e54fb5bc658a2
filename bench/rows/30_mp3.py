"""MP3 decoding and encoding next to the mpg123 and lame commands."""
import os
import subprocess


def mp3(env, name, wav, kbps):
    """An MP3 made from a generated recording by the lame command (cached)."""
    path = env.cache / name
    if not path.exists():
        tmp = str(path) + ".tmp.mp3"
        subprocess.run(["lame", "--quiet", "-b", str(kbps), wav, tmp], check=True)
        os.replace(tmp, path)
    return str(path)


def rows(env, Row):
    wav = env.recording("music-5min-16.wav", 300)
    f192 = mp3(env, "music-5min-192k.mp3", wav, 192)
    tool = env.tool("tw_filetool")
    return [
        Row("mp3 192k -> SoundReaderMp3 -> null (5 min)",
            [tool, "bypass", f192, "-"],
            f"mpg123 -q -s {f192} > /dev/null", max_ratio=1.2),
        # The writer encodes joint stereo at quality 5; the lame command the same.
        Row("wav -> SoundWriterMp3 192k (5 min)",
            [tool, "bypass", wav, env.out("enc.mp3")],
            ["lame", "--quiet", "-m", "j", "-q", "5", "-b", "192", wav, env.out("lame-enc.mp3")], max_ratio=1.2),
    ]
