"""The analysis with loudness, range and true peak next to ffmpeg's loudness
meter (true peak on) and its statistics filter on the same generated file."""


def rows(env, Row):
    cli = env.tool("tonewright")
    five = env.recording("music-5min-16.wav", 300)
    return [
        Row("tonewright analyse 5 min (vs ffmpeg ebur128+astats)",
            [cli, "analyse", "-q", "--no-save", five],
            ["ffmpeg", "-nostats", "-hide_banner", "-i", five, "-af", "ebur128=peak=true,astats", "-f", "null", "-"],
            max_ratio=0.7),
    ]
