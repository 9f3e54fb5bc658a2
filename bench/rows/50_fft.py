"""FFT-domain filtering: the 447-tap equiripple low-pass by overlap-add, and the FFT multiband amplifier."""


def rows(env, Row):
    five = env.recording("music-5min-16.wav", 300)
    tool = env.tool("tw_filetool")
    return [
        Row("SoundAlgoEqFFT low-pass N=8192, 5 min wav -> null (x real time)",
            [tool, "eqfft", five, "-", "low", "1000", "0", "8192"], realtime_s=300, min_realtime=200),
        Row("SoundAlgoEqFFT low-pass N=8192 (vs sox sinc, 5 min -> wav)",
            [tool, "eqfft", five, env.out("eqfft.wav"), "low", "1000", "0", "8192"],
            ["sox", five, env.out("sox-sinc.wav"), "sinc", "-1000"], note="(report only)"),
        Row("FFT multiband amplifier, 5 bands (5 min -> null)", [tool, "mbfft", five, "-"], realtime_s=300,
            note="(report only)"),
    ]
