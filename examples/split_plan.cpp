// Prints the pieces an album would be split into, and writes nothing:
//   example_split_plan album.flac pieces/
#include <cstdio>

#include "tonewright/Split.h"

int main(int argc, char** argv) {
    if (argc != 3) return std::fprintf(stderr, "usage: %s album output-folder/\n", argv[0]), 1;
    tonewright::SplitSettings s;
    s.input = argv[1];
    s.output = std::filesystem::path(argv[2]) / std::filesystem::path(argv[1]).filename();
    s.nameTemplate = "{n:02} - {title}";
    const auto plan = tonewright::planSplit(s);
    if (!plan) return std::fprintf(stderr, "%s\n", plan.error().message().c_str()), 2;
    const double rate = plan->rate;
    for (const tonewright::SplitPiece& p : plan->pieces)
        std::printf("%2d  %8.3f s  %8.3f s  %6.1f dB  %s\n", p.number, p.begin / rate, p.frames / rate, p.levelDb,
                    p.file.c_str());
    for (const std::string& note : plan->notes) std::printf("note: %s\n", note.c_str());
    return 0;
}
