"""Measurements against independent meters (ffmpeg's ebur128 filter) and
against recordings whose answer is known by construction."""
import re
import subprocess

import numpy as np
import pytest
import soundfile as sf

import tonewright as tw

RATE = 48000


def tone(seconds, db, freq=440.0, rate=RATE):
    t = np.arange(int(seconds * rate)) / rate
    return 10 ** (db / 20) * np.sqrt(2) * np.sin(2 * np.pi * freq * t)


def ffmpeg_ebur128(path):
    err = subprocess.run(["ffmpeg", "-nostats", "-hide_banner", "-i", str(path), "-af", "ebur128=peak=true",
                          "-f", "null", "-"], capture_output=True, text=True, check=True).stderr
    summary = err[err.rindex("Summary:"):]
    return {k: float(re.search(k + r":\s+(-?[\d.]+)", summary).group(1)) for k in ("I", "LRA", "Peak")}


def test_loudness_matches_ffmpeg(tmp_path):
    rng = np.random.default_rng(3)
    levels = [-30, -18, -24, -12, -20]  # 4 s each: a loudness range to measure
    left = np.concatenate([tone(4, db) + 10 ** (db / 20) * 0.3 * rng.standard_normal(4 * RATE) for db in levels])
    audio = np.vstack([left, 0.7 * np.roll(left, 999)])
    path = tmp_path / "levels.wav"
    sf.write(path, audio.T, RATE, subtype="FLOAT")  # written by another library
    theirs = ffmpeg_ebur128(path)
    for source, rate in ((str(path), None), (audio, RATE)):
        ours = tw.loudness(source, rate)
        assert ours.integrated == pytest.approx(theirs["I"], abs=0.1)
        assert ours.range == pytest.approx(theirs["LRA"], abs=0.1)
        assert max(ours.true_peak) == pytest.approx(theirs["Peak"], abs=0.2)
        assert max(ours.sample_peak) == pytest.approx(20 * np.log10(np.abs(audio).max()), abs=1e-6)
        assert len(ours.momentary) == len(ours.short_term) == 200 and ours.frames == audio.shape[1]
        # The momentary series follows the steps: the middle of each 4 s is 400 ms of one level.
        assert ours.momentary[[19, 59, 99]] == pytest.approx(ours.momentary[19] + np.array([0, 12, 6]), abs=0.5)


def test_gaps_regions_and_bands_of_a_known_recording():
    hiss = 10 ** (-75 / 20) * np.random.default_rng(4).standard_normal(3 * RATE)
    # The last piece outlasts the 10 s at the end where the detector takes falls for a fade-out.
    piece = np.concatenate([tone(3, -12, 707), hiss, tone(3, -12, 707), np.zeros(3 * RATE), tone(12, -12, 707)])
    audio = np.vstack([piece, piece])
    found = tw.gaps(audio, RATE)
    assert [(round(g.start / RATE, 2), round(g.frames / RATE, 2)) for g in found.gaps] == [(3, 3), (9, 3)]
    assert (found.sound_start, found.sound_end) == (0, 24 * RATE)
    assert [r.noise for r in tw.regions(audio, RATE).regions] == [False, True, False, True, False]
    levels = tw.bands(audio, RATE)
    loudest = max(levels.bands, key=lambda b: b.rms)
    # 707 Hz, half an octave from both fourth-order Butterworth edges: 1 / (1 + 2^-4) in power from each.
    model = -12 - 10 * np.log10(24 / 18) + 2 * 10 * np.log10(1 / (1 + 2 ** -4))
    assert (loudest.low, loudest.high) == (500, 1000) and loudest.rms == pytest.approx(model, abs=0.2)
    assert len(levels.relative) == 10 and max(levels.relative) == 0
    assert levels.reference.name in [c.name for c in tw.references()]
    assert levels.reference.distance == min(np.sqrt(np.sum((c.levels - levels.relative[:len(c.levels)]) ** 2))
                                            for c in tw.references())
