"""The jobs from Python against the command-line tool's --json for the same
file and options (the tool's path in TONEWRIGHT_CLI)."""
import dataclasses
import json
import os
import shutil
import signal
import subprocess
import sys

import pytest

import tonewright as tw

CLI = os.environ.get("TONEWRIGHT_CLI")


@pytest.fixture(scope="module")
def music(tmp_path_factory):
    """Three tones of 2 s with 1.5 s gaps of faint noise, 16-bit stereo."""
    folder = tmp_path_factory.mktemp("jobs")
    path = folder / "side.wav"
    subprocess.run(["sox", "-R", "-n", "-r", "44100", "-b", "16", "-c", "2", str(path), "synth", "2", "sine", "330",
                    "vol", "0.3", "pad", "0.5", "1.5", "repeat", "2"], check=True)
    return path


def _cli(*args):
    p = subprocess.run([CLI, *map(str, args), "--json"], capture_output=True, text=True)
    assert p.returncode == 0, p.stderr
    return json.loads(p.stdout)


# (job, the tool's arguments, the Python call); `o` is an output name, `c` a copy of the input.
JOBS = [
    ("info", lambda f, o, c: ["info", f], lambda f, o, c: tw.info(f)),
    ("analyse", lambda f, o, c: ["analyse", "--no-save", "--threshold", "-50", f],
     lambda f, o, c: tw.analyse(f, save=False, threshold=-50)),
    ("level", lambda f, o, c: ["level", "-t", "-16LUFS", "--max-gain", "6", "-o", o, f],
     lambda f, o, c: tw.level(f, o, target="-16LUFS", max_gain=6, overwrite=True)),
    ("level dB", lambda f, o, c: ["level", "-t", "-20", "--no-dither", "-o", o, f],
     lambda f, o, c: tw.level(f, o, target=-20, dither=False, overwrite=True)),
    ("correct", lambda f, o, c: ["correct", "--max-correction", "6", "-o", o, f],
     lambda f, o, c: tw.correct(f, o, max_correction=6, overwrite=True)),
    ("eq", lambda f, o, c: ["eq", "--preset", "Rock", "-g", "-2", "-o", o, f],
     lambda f, o, c: tw.eq(f, o, preset="Rock", gain=-2, overwrite=True)),
    ("split", lambda f, o, c: ["split", "-n", "--min-silence", "1", f],
     lambda f, o, c: tw.split(f, dry_run=True, min_silence=1)),
    ("tag", lambda f, o, c: ["tag", c], lambda f, o, c: tw.tag_replaygain([c])[0]),
]


@pytest.mark.skipif(not CLI, reason="TONEWRIGHT_CLI names the command-line tool")
@pytest.mark.parametrize("job,cli_args,call", JOBS, ids=[j[0] for j in JOBS])
def test_report_is_the_tools_json(music, tmp_path, job, cli_args, call):
    out = tmp_path / "out.flac"
    copy = tmp_path / "copy.wav"
    shutil.copyfile(music, copy)
    expected = _cli(*cli_args(music, out, copy))
    report = call(str(music), str(out), str(copy))
    assert dataclasses.asdict(report) == expected
    assert report.to_dict() == expected


def test_errors(music, tmp_path):
    with pytest.raises(ValueError, match="max_gain"):
        tw.level(music, tmp_path / "x.wav", max_gain=99)
    with pytest.raises(ValueError, match="threshold"):
        tw.split(music, dry_run=True, threshold=5)
    with pytest.raises(FileNotFoundError) as e:
        tw.analyse(tmp_path / "missing.wav", save=False)
    assert e.value.filename == str(tmp_path / "missing.wav")
    (tmp_path / "junk.wav").write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunk")
    with pytest.raises(OSError) as e:
        tw.fingerprint(tmp_path / "junk.wav")
    assert not isinstance(e.value, FileNotFoundError) and e.value.filename == str(tmp_path / "junk.wav")
    with pytest.raises(OSError, match="overwrite=True") as e:
        tw.level(music, music)
    assert e.value.filename == str(music)


def test_progress_cancels(music, tmp_path):
    seen = []

    def progress(p):
        seen.append((getattr(p, "pass"), p.passes, p.done, p.total, p.fraction))
        return len(seen) < 2

    out = tmp_path / "out.flac"
    with pytest.raises(tw.Cancelled):
        tw.level(music, out, progress=progress)
    assert len(seen) == 2 and all(0 <= s[4] <= 1 and s[0] < s[1] for s in seen)
    assert os.listdir(tmp_path) == []
    # The same call runs through with a callback that returns nothing, and the fingerprint
    # of the sound it wrote differs from the input's.
    fractions = []
    tw.level(music, out, progress=lambda p: fractions.append(p.fraction))
    assert fractions and all(0 <= f <= 1 for f in fractions)
    assert len(tw.fingerprint(out)) == 40 and tw.fingerprint(out) != tw.fingerprint(music)


def test_ctrl_c_stops_a_long_call_cleanly(tmp_path):
    """SIGINT during a long level: KeyboardInterrupt once the job has stopped,
    and nothing left in the output folder."""
    src, out = tmp_path / "long.wav", tmp_path / "out"
    subprocess.run(["sox", "-R", "-n", "-r", "44100", "-b", "16", "-c", "2", str(src), "synth", "900", "pinknoise",
                    "vol", "0.3"], check=True)
    out.mkdir()
    script = ("import sys, tonewright as tw\n"
              "said = []\n"
              "def progress(p):\n"
              "    if not said: said.append(print('started', flush=True))\n"
              "try:\n"
              f"    tw.level({str(src)!r}, {str(out / 'x.wav')!r}, progress=progress)\n"
              "except KeyboardInterrupt:\n"
              "    sys.exit(3)\n")
    p = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "started"
    p.send_signal(signal.SIGINT)
    assert p.wait(timeout=60) == 3
    assert os.listdir(out) == []
