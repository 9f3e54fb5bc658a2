"""File to file through one gain, and memory against stream length."""


def rows(env, Row):
    five = env.recording("music-5min-16.wav", 300)
    one = env.recording("music-1min-16.wav", 60)
    twenty = env.recording("music-20min-16.wav", 1200)
    tool = env.tool("tw_filetool")
    return [
        Row("wav -> SoundAlgoScale -> wav (5 min, 16-bit)",
            [tool, "scale", five, env.out("scale.wav"), "-3"],
            ["sox", five, env.out("sox-gain.wav"), "gain", "-3"], max_ratio=0.5),
        Row("peak memory, 1 min file", [tool, "scale", one, env.out("m1.wav")], peak_kb=True),
        Row("peak memory, 20 min file", [tool, "scale", twenty, env.out("m20.wav")], peak_kb=True,
            note="(streaming: must match the 1 min figure)"),
    ]
