// Levels a recording to -14 LUFS, region by region, with its true peak held
// at -1 dBTP:   example_level_to_loudness in.flac out.flac
#include <cstdio>

#include "tonewright/Level.h"

int main(int argc, char** argv) {
    if (argc != 3) return std::fprintf(stderr, "usage: %s input output\n", argv[0]), 1;
    tonewright::LevelSettings s;
    s.input = argv[1];
    s.output = argv[2];
    s.loudnessTarget = true;
    s.targetLufs = -14.0;
    s.truePeakDb = -1.0;
    const auto r = tonewright::level(s);
    if (!r) return std::fprintf(stderr, "%s\n", r.error().message().c_str()), 2;
    std::printf("%s: %.1f LUFS, true peak %.1f dBTP\n", r->output.c_str(), r->loudnessAfter, r->truePeakAfter);
    return 0;
}
