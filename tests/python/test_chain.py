"""Chains: a stream run in pieces equals the whole pass to the sample, against
plain models where there is one; descriptions round trip; wrong settings and
arrays raise ValueError naming what is wrong."""
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import tonewright as tw

RATE = 44100


def noise(rows, frames, dtype=np.float64, seed=1):
    return (0.3 * np.random.default_rng(seed).standard_normal((rows, frames))).astype(dtype)


def every_kind():
    """Algorithms with delays, look-aheads, overlaps and several outputs."""
    return tw.Chain([
        tw.PlayerEqualizer(preset="Rock", bass_boost=True),
        tw.Branches([tw.FirFilter("lowpass", 2000)], [tw.Crossover(500), tw.Mix([1.0, -0.5])]),
        tw.Mix([0.5, 0.5]),
        tw.FFTFilter("bandstop", 3000, 5000, size=1024),
        tw.NoiseGate(-50), tw.Delay(0.01), tw.Limiter(3.0), tw.TruePeakLimiter(-1.0),
    ])


@pytest.mark.parametrize("rows,dtype", [(2, np.float32), (1, np.float64)])
def test_pieces_give_the_whole_pass_to_the_sample(rows, dtype):
    x = noise(rows, 3 * RATE, dtype)
    chain = every_kind()
    whole = chain(x, RATE)
    assert whole.dtype == dtype and whole.shape == (rows, x.shape[1] + chain.delay)
    fir = tw.Chain([tw.FirFilter("lowpass", 2000)])
    assert fir(x[:, :10], RATE).shape[1] == 10 + fir.delay
    assert chain.delay == 446 + 441 + fir.delay  # the FFT filter's 447 taps, the 10 ms delay, the FIR's taps
    cuts = np.cumsum(np.random.default_rng(2).integers(1, 9000, 40))
    pieces = [chain(p, RATE, reset=False) for p in np.split(x, cuts[cuts < x.shape[1]], axis=1)]
    assert chain.running and sum(p.shape[1] for p in pieces) < x.shape[1]
    pieces.append(chain.flush())
    np.testing.assert_array_equal(np.concatenate(pieces, axis=1), whole)
    assert not chain.running
    # A description read back builds the same chain.
    again = tw.Chain.from_json(chain.to_json())
    assert again == chain
    np.testing.assert_array_equal(again(x, RATE), whole)


def test_gain_and_delay_against_their_models():
    x = noise(2, 5000)
    np.testing.assert_allclose(tw.Chain([tw.Gain(-6.0)])(x, RATE), x * 10 ** (-6 / 20), rtol=1e-15)
    out = tw.Chain([tw.Delay(100 / RATE)])(x, RATE)
    np.testing.assert_array_equal(out, np.concatenate([np.zeros((2, 100)), x], axis=1))
    assert tw.Chain()(x, RATE) is not x and np.array_equal(tw.Chain()(x, RATE), x)


def test_the_amplifier_follows_the_regions_it_is_given():
    t = np.arange(20 * RATE) / RATE
    tone = np.sin(2 * np.pi * 220 * t) * np.where(t < 10, 10 ** (-30 / 20), 10 ** (-10 / 20)) * np.sqrt(2)
    x = np.vstack([tone, tone])
    found = tw.regions(x, RATE)
    assert [r.start for r in found.regions if not r.noise][:2] == [0, pytest.approx(10 * RATE, abs=0.3 * RATE)]
    out = tw.Chain([tw.RMSAmplifier(-20.0, regions=found, max_gain=20)])(x, RATE)
    for second in (7, 17):  # after the ramps: both halves at the target
        rms = np.sqrt(np.mean(out[0, second * RATE:(second + 1) * RATE] ** 2))
        assert 20 * np.log10(rms) == pytest.approx(-20.0, abs=0.5)


BAD_SETTINGS = [
    (lambda: tw.Gain(float("nan")), "db"),
    (lambda: tw.Gain(500), '"Gain"'),
    (lambda: tw.Limiter(release=-1), '"Release"'),
    (lambda: tw.FirFilter("peaking", 1000), "filter type"),
    (lambda: tw.Biquads([("peaking", 1000, 0.0, 3)]), '"Width"'),
    (lambda: tw.Butterworth("lowpass", 1000, order=3), '"Order"'),
    (lambda: tw.FFTFilter("lowpass", 1000, size=1000), '"Size"'),
    (lambda: tw.PlayerEqualizer(preset="Nope"), '"Preset"'),
    (lambda: tw.PlayerEqualizer(gains=[1, 2]), '"Gains"'),
    (lambda: tw.Branches([tw.Gain(1)], [tw.Algorithm({"Class": "SoundAlgoScale"})]), '"Gain"'),
    (lambda: tw.Chain.from_json('[{"Class": "NoSuchAlgo"}]'), "NoSuchAlgo"),
    (lambda: tw.Chain.from_json('[{"Class": "SoundAlgoScale", "Gain": "loud"}]'), '"Gain"'),
    (lambda: tw.Chain([tw.Crossover(1000)])(noise(2, 10), RATE), "mixer"),
    (lambda: tw.Chain(["gain"]), "str"),
    (lambda: tw.Chain([tw.Gain(0)])(noise(3, 10), RATE), "1 or 2 channels"),
    (lambda: tw.Chain([tw.Gain(0)])(noise(2, 10), -44100), "samplerate"),
]


@pytest.mark.parametrize("make,named", BAD_SETTINGS)
def test_wrong_settings_raise_value_error_naming_them(make, named):
    with pytest.raises(ValueError, match=named):
        make()


def test_a_running_pass_keeps_its_shape():
    chain = tw.Chain([tw.Gain(0)])
    chain(noise(2, 10), RATE, reset=False)
    with pytest.raises(ValueError):
        chain(noise(1, 10), RATE, reset=False)
    with pytest.raises(ValueError):
        chain(noise(2, 10), 48000, reset=False)
    assert chain.flush().shape == (2, 10)
    with pytest.raises(ValueError):
        chain.flush()


def test_the_example_equalises_a_file(tmp_path):
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "equalise.py"
    tw.write(tmp_path / "in.flac", noise(2, 3 * RATE) * 0.3, RATE, tags={"artist": "A"})
    run = subprocess.run([sys.executable, str(example), str(tmp_path / "in.flac"), str(tmp_path / "out.flac"), "Bass"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    with tw.AudioFile(tmp_path / "out.flac") as f:
        assert (f.frames, f.tags["artist"]) == (3 * RATE, "A")
