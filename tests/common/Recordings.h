#pragma once
// Generated recordings with a known structure, for the region detector, the
// multi-file writer and the levelling chain.
#include "TestKit.h"
#include "tonewright/RMSStepDetector.h"

namespace tk {

// A stretch of a generated recording, in frames [begin, end).
struct Piece {
    enum Kind { Silence, Track, RoomNoise, Fade };
    Kind kind;
    size_t begin;
    size_t end;
    double levelDb;  // RMS of the louder channel, dB full scale (Fade: the level it starts from)
};

struct Recording {
    Frames frames;
    unsigned rate = 44100;
    std::vector<Piece> pieces;
    // The fade-out; an empty piece at the end when there is none.
    Piece fade() const;
};

// Tones and noise: two partials per channel plus white noise, with a level set
// by the RMS of the louder channel.
Frames track(size_t n, double rate, double levelDb, uint32_t seed);

// Leading digital silence (1 s), track 1 (12 s, -14 dB), 3 s of digital silence,
// track 2 (15 s, -8 dB), 8 s of quiet room noise (-70 dB), track 3 (12 s,
// -20 dB) fading out linearly to nothing over 6 s, then 2 s of silence. Peaks
// stay below full scale.
// `scale` stretches every duration (0.5 gives a recording half as long).
Recording album(unsigned rate = 44100, double scale = 1.0);

// Quiet and loud passages for the levelling chain: (seconds, dB) pairs, joined
// without gaps.
Recording passages(const std::vector<std::pair<double, double>>& parts, unsigned rate = 44100);

// A region from levels in dB (10·log10 of each channel's mean square); the
// weight defaults to the length.
RMSStepDetector::Region region(int begin, int n, double db0, double db1, bool noise = false, int weight = -1);
// A detector holding `list`, loaded from its JSON description as a host would.
SoundRef<RMSStepDetector> detectorFromList(const std::vector<RMSStepDetector::Region>& list, bool realTime = false,
                                           unsigned rate = 44100);

}  // namespace tk
