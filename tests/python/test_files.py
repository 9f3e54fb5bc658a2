"""Files: tw.write and tw.AudioFile against independent readers and writers
(python3-soundfile, sox, mutagen), and the errors of the file functions."""
import os
import subprocess

import mutagen
import numpy as np
import pytest
import soundfile as sf

import tonewright as tw

RATE = 44100


def music(rows, frames=RATE, seed=0):
    """A tone under noise at -12 dBFS or so, as float64."""
    t = np.arange(frames) / RATE
    noise = np.random.default_rng(seed).standard_normal((rows, frames))
    return 0.2 * np.sin(2 * np.pi * 440 * t) + 0.05 * noise


# (extension, bits, channels, soundfile subtype or None for lossy, largest error)
WRITES = [
    ("wav", 16, 2, "PCM_16", 0.5 / 32768 + 1e-9),
    ("wav", 24, 1, "PCM_24", 1 / 2**23 + 1e-9),  # libsndfile scales through 32 bits
    ("wav", "float", 2, "FLOAT", 1e-7),
    ("flac", 16, 1, "PCM_16", 0.5 / 32768 + 1e-9),
    ("flac", 24, 2, "PCM_24", 1 / 2**23 + 1e-9),
    ("ogg", 16, 2, None, None),
    ("mp3", 16, 1, None, None),
]


@pytest.mark.parametrize("ext,bits,rows,subtype,error", WRITES)
def test_written_files_read_back_by_soundfile(tmp_path, ext, bits, rows, subtype, error):
    audio = music(rows)
    path = tmp_path / f"out.{ext}"
    tw.write(path, audio, RATE, bits=bits, tags={"title": "Tïtle", "track": "3"})
    assert [p.name for p in tmp_path.iterdir()] == [path.name]  # no temporary left behind
    theirs, rate = sf.read(path, always_2d=True)
    assert rate == RATE and theirs.shape[1] == rows
    if subtype:
        assert sf.info(path).subtype == subtype
        assert theirs.shape[0] == audio.shape[1]
        assert np.abs(theirs.T - audio).max() <= error
    else:  # lossy: the tone comes back at its level
        level = np.sqrt(np.mean(theirs[RATE // 4: 3 * RATE // 4] ** 2))
        assert abs(20 * np.log10(level / np.sqrt(np.mean(audio ** 2)))) < 1.0
    tags = mutagen.File(path).tags  # ID3v2 frames in WAV and MP3, Vorbis comments otherwise
    assert (tags["TIT2"].text if "TIT2" in tags else tags["title"]) == ["Tïtle"]
    with tw.AudioFile(path) as f:  # our reader agrees with theirs
        assert (f.channels, f.rows, f.samplerate, f.format) == (rows, rows, RATE, ext)
        ours = f.read()
        assert ours.dtype == np.float32 and ours.shape[0] == rows
        assert f.tags["title"] == "Tïtle" and f.tags["track"] == "3"
    n = min(ours.shape[1], theirs.shape[0])
    assert np.abs(ours[:, :n] - theirs[:n].T).max() < (2e-7 if subtype else 0.02)


def test_reading_a_sox_file_in_blocks_and_its_cover(tmp_path):
    path = tmp_path / "sox.flac"
    subprocess.run(["sox", "-n", "-r", "48000", "-b", "24", "-c", "2", str(path), "synth", "3", "sine", "300",
                    "pinknoise", "vol", "0.4"], check=True)
    theirs, _ = sf.read(path, dtype="float32")
    with tw.AudioFile(path) as f:
        blocks = list(f.blocks(10000))
        assert [b.shape[1] for b in blocks] == [10000] * 14 + [4000]
        assert f.read().shape == (2, 0)
        f.rewind()
        whole = f.read()
        assert f.cover is None
    np.testing.assert_array_equal(np.concatenate(blocks, axis=1), theirs.T)
    np.testing.assert_array_equal(whole, theirs.T)
    png = b"\x89PNG\r\n\x1a\n" + bytes(range(40))
    out = tmp_path / "cover.flac"
    tw.write(out, whole, 48000, bits=24, cover=png)
    assert mutagen.File(out).pictures[0].data == png
    assert tw.AudioFile(out).cover == png


def test_a_failed_write_leaves_the_old_file(tmp_path):
    path = tmp_path / "keep.wav"
    tw.write(path, music(2), RATE)
    before = path.read_bytes()
    with pytest.raises(ValueError):
        tw.write(path, music(2)[:, :10].astype(np.int16), RATE)
    with pytest.raises(FileNotFoundError, match="nowhere"):
        tw.write(tmp_path / "nowhere" / "x.wav", music(2), RATE)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["keep.wav"]


BAD_WRITES = [
    (np.zeros(100), {}),                          # one dimension: not guessed as mono
    (np.zeros((3, 100)), {}),                     # three rows
    (np.zeros((100, 2)), {}),                     # (frames, channels)
    (np.zeros((2, 100), np.int16), {}),           # integers: no implied scale
    (np.zeros((2, 100), np.complex64), {}),
    ([[0.0, 0.1], [0.2, 0.3]], {}),               # not an array
    (np.full((2, 100), np.nan), {}),
    (np.zeros((2, 100)), {"samplerate": 0}),
    (np.zeros((2, 100)), {"samplerate": float("nan")}),
    (np.zeros((2, 100)), {"samplerate": 44100.5}),
    (np.zeros((2, 100)), {"bits": 12}),
    (np.zeros((2, 100)), {"bits": "float", "name": "x.flac"}),
    (np.zeros((2, 100)), {"tags": {"title": 3}}),
    (np.zeros((2, 100)), {"cover": b"not a picture"}),
    (np.zeros((2, 100)), {"name": "x.aiff"}),
]


@pytest.mark.parametrize("audio,kw", BAD_WRITES)
def test_wrong_arrays_and_settings_raise_value_error(tmp_path, audio, kw):
    kw = dict(kw)
    path = tmp_path / kw.pop("name", "x.wav")
    with pytest.raises(ValueError):
        tw.write(path, audio, kw.pop("samplerate", RATE), **kw)
    assert not os.listdir(tmp_path)


@pytest.mark.parametrize("call", [tw.AudioFile, tw.read, tw.loudness, tw.gaps, tw.regions, tw.bands])
def test_a_missing_file_raises_file_not_found_naming_it(tmp_path, call):
    missing = str(tmp_path / "no-such-recording.flac")
    with pytest.raises(FileNotFoundError) as e:
        call(missing)
    assert e.value.filename == missing and "no-such-recording.flac" in str(e.value)


def test_a_damaged_file_raises_os_error_naming_it(tmp_path):
    path = tmp_path / "damaged.flac"
    path.write_bytes(b"fLaC" + bytes(100))
    with pytest.raises(OSError, match="damaged.flac"):
        tw.AudioFile(path)
