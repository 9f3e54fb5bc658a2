"""Filters: the nine-band peaking equaliser next to ffmpeg's, and per-band statistics."""

BANDS = [60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000]
LEVELS = [4, -3, 2, -1, 1, -2, 3, -4, 2]  # all non-zero: no band may be skipped


def rows(env, Row):
    five = env.recording("music-5min-16.wav", 300)
    tool = env.tool("tw_filetool")
    chain = ",".join(f"equalizer=f={f}:t=o:w=1.9:g={g}" for f, g in zip(BANDS, LEVELS))
    return [
        Row("9-band peaking EQ (5 min, 16-bit) -> null",
            [tool, "eq9", five, "-"] + [str(g) for g in LEVELS],
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-threads", "1", "-filter_threads", "1",
             "-i", five, "-af", chain, "-f", "null", "-"],
            max_ratio=1 / 1.5, note="(target: 1.5x ffmpeg's speed)"),
        Row("band stats, 9-edge crossover tree (5 min)",
            [tool, "bandstats", five, "-", "crossover"], realtime_s=300, min_realtime=100),
    ]
