"""The command-line host: its levelling job against the same chain driven by the
benchmark tool, and a batch of files on two cores against one at a time."""
import os
import shutil


def rows(env, Row):
    filetool = env.tool("tw_filetool")
    cli = env.tool("tonewright")
    five = env.recording("music-5min-16.wav", 300)
    # Eight distinct files (the host refuses two inputs that would write the same
    # outputs), five minutes each so that the run is long beside process start-up.
    batch = []
    for i in range(8):
        path = env.cache / f"batch5-{i}.wav"
        if not path.exists():
            shutil.copyfile(five, path)
        batch.append(str(path))
    serial_dir, parallel_dir = env.cache / "out-cli-serial", env.cache / "out-cli-parallel"
    for d in (serial_dir, parallel_dir):
        os.makedirs(d, exist_ok=True)
    return [
        Row("tonewright level 5 min (vs tw_filetool level)",
            [cli, "level", "-q", "-y", "--target", "-14", "-o", env.out("cli-level.wav"), five],
            [filetool, "level", five, env.out("filetool-level.wav"), "-", "-14"], max_ratio=1.1),
        Row("tonewright level 8 files -j2 (vs -j1)",
            [cli, "level", "-q", "-y", "-j", "2", "-o", str(parallel_dir) + "/"] + batch,
            [cli, "level", "-q", "-y", "-j", "1", "-o", str(serial_dir) + "/"] + batch, max_ratio=0.6),
    ]
