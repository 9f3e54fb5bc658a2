// SoundAlgoGapFinder on generated albums whose gaps mix digital silence, white
// and pink noise at several levels (each gap judged against its own floor):
// every gap found within 50 ms, none in the quiet passages inside the tracks,
// no stretch of noise made a piece; and the shortest silence it must find.
#include <cmath>
#include <cstdio>
#include <random>

#include "common/ColouredNoise.h"
#include "common/Recordings.h"
#include "tonewright/SoundAlgoGapFinder.h"

namespace {

// One stretch of a generated album: sound at a level (RMS of the louder
// channel, dB), sound fading out linearly from it, or a gap of digital silence,
// white (Gaussian) or pink noise at a level (RMS of each channel, dB).
struct Part {
    enum Kind { Sound, Fade, Digital, White, Pink, Mixed } kind;  // Mixed: a gap of two kinds, for the results
    double seconds, db;
};
const char* const kKindNames[] = {"", "", "digital silence", "white noise", "pink noise", "two kinds"};

struct Album {
    tk::Frames frames;
    std::vector<std::pair<int64_t, int64_t>> gaps;  // [begin, end) of each gap between sounds
    std::vector<Part::Kind> kinds;
    int64_t soundBegin = -1;
};

Album makeAlbum(const std::vector<Part>& parts, unsigned rate) {
    Album a;
    const tk::Frames pink = tk::tiltedNoise(size_t(1) << 19, rate, -3.0, 20.0, 5, {}, 1.0);
    std::mt19937 gen(7);
    std::normal_distribution<double> gauss(0.0, 1.0);
    uint32_t seed = 1;
    for (const Part& p : parts) {
        const size_t n = size_t(std::llround(p.seconds * rate)), at = a.frames.size();
        const double g = tk::fromDb(p.db);
        tk::Frames t = p.kind <= Part::Fade ? tk::track(n, rate, p.db, seed++) : tk::silence(n);
        for (size_t i = 0; i < n; ++i) {
            if (p.kind == Part::Fade) t[i] *= tk::Frame(double(n - i) / n, double(n - i) / n);
            if (p.kind == Part::White) t[i] = tk::Frame(g * gauss(gen), g * gauss(gen));
            if (p.kind == Part::Pink) t[i] = pink[(i + 7919 * seed) % pink.size()] * tk::Frame(g, g);
        }
        seed += p.kind == Part::Pink;
        a.frames.insert(a.frames.end(), t.begin(), t.end());
        if (p.kind <= Part::Fade) {
            if (a.soundBegin < 0) a.soundBegin = int64_t(at);
        } else if (a.soundBegin >= 0 && !a.gaps.empty() && a.gaps.back().second == int64_t(at)) {
            a.gaps.back().second = int64_t(a.frames.size());  // a gap of two kinds
            a.kinds.back() = Part::Mixed;
        } else if (a.soundBegin >= 0) {
            a.gaps.push_back({int64_t(at), int64_t(a.frames.size())});
            a.kinds.push_back(p.kind);
        }
    }
    return a;
}

// A track of a few seconds with a long quiet passage at `quietDb` inside it.
void addTrack(std::vector<Part>& parts, double quietDb, const Part& ending = {Part::Sound, 1.0, -14}) {
    parts.insert(parts.end(), {{Part::Sound, 1.0, -12}, {Part::Sound, 1.5, quietDb}, ending});
}

}  // namespace

// Albums of six to nine tracks whose gaps alternate between digital silence
// and noise, or mix white and pink noise from -60 to -75 dB and 0.3 to 3 s,
// and gaps where noise starts after digital silence or the other way round,
// with fades into gaps (one from -58 dB, the quietest sound on the album, that
// ends in digital silence: the noise after it is a gap) and quiet passages
// inside the tracks from -45 to -50 dB.
TEST(GapFinder, EveryGapOfEveryKindWithin50ms) {
    using P = Part;
    const struct {
        const char* what;
        unsigned rate;
        std::vector<std::vector<Part>> gaps;  // the gap after each track, of one kind or two
    } rows[] = {
        {"digital silence and -70 dB noise alternating", 44100,
         {{{P::Digital, 2, 0}}, {{P::White, 2, -70}}, {{P::Digital, 1, 0}}, {{P::White, 0.3, -70}},
          {{P::Digital, 3, 0}}, {{P::White, 1, -70}}}},
        {"white and pink noise, -60 to -75 dB, noise then digital silence", 44100,
         {{{P::Pink, 1, -60}}, {{P::White, 0.5, -75}}, {{P::Digital, 0.3, 0}}, {{P::Pink, 3, -65}},
          {{P::White, 0.4, -60}}, {{P::Pink, 0.3, -70}}, {{P::White, 1.5, -72}},
          {{P::White, 0.6, -65}, {P::Digital, 0.5, 0}}}},
        {"every kind at 96 kHz, digital silence then noise", 96000,
         {{{P::White, 0.3, -75}}, {{P::Pink, 0.3, -60}}, {{P::Digital, 0.5, 0}, {P::Pink, 0.7, -65}},
          {{P::Pink, 2, -75}}, {{P::White, 3, -60}}}},
    };
    double largest[Part::Mixed + 1] = {}, sum[Part::Mixed + 1] = {};  // boundary errors per kind, ms
    int edges[Part::Mixed + 1] = {};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Part> parts{{P::Digital, 0.3123, 0}};  // the gaps start part-way into hops
        const double quiet[] = {-45, -48, -50, -46, -49, -47, -50, -45};
        for (size_t k = 0; k < row.gaps.size(); ++k) {
            const Part ending =
                k == 1 ? Part{P::Fade, 2.0, -14} : k == 2 ? Part{P::Fade, 1.2, -58} : Part{P::Sound, 1, -14};
            addTrack(parts, quiet[k], ending);
            parts.insert(parts.end(), row.gaps[k].begin(), row.gaps[k].end());
        }
        addTrack(parts, -46);
        const Album a = makeAlbum(parts, row.rate);
        SoundAlgoGapFinder finder(0.3);
        EXPECT_EQ(tk::maxAbsDiff(tk::run(finder, a.frames, row.rate, 4096), a.frames), 0.0);
        const auto& gaps = finder.getGaps();
        const double tolerance = 0.05 * row.rate;
        EXPECT_NEAR(double(finder.getSoundBegin()), double(a.soundBegin), tolerance);
        EXPECT_EQ(finder.getSoundEnd(), int64_t(a.frames.size()));
        ASSERT_EQ(gaps.size(), a.gaps.size());
        for (size_t k = 0; k < gaps.size(); ++k) {
            const double b = double(gaps[k].begin - a.gaps[k].first),
                         e = double(gaps[k].begin + gaps[k].frames - a.gaps[k].second);
            EXPECT_LE(std::max(std::fabs(b), std::fabs(e)), tolerance) << "gap " << k << ": " << b << ", " << e;
            for (double x : {b, e}) {
                largest[a.kinds[k]] = std::max(largest[a.kinds[k]], 1000.0 * std::fabs(x) / row.rate);
                sum[a.kinds[k]] += 1000.0 * std::fabs(x) / row.rate;
                ++edges[a.kinds[k]];
            }
        }
    }
    for (int kind = Part::Digital; kind <= Part::Mixed; ++kind)
        std::printf("[ boundary ] %-16s %2d edges: largest %.1f ms, mean %.1f ms\n", kKindNames[kind], edges[kind],
                    largest[kind], sum[kind] / edges[kind]);
}

// A silence exactly as long as the minimum, starting part-way into a hop, is a
// gap although only its whole hops are silent (two fewer than the minimum's
// length in hops, at worst); one 10 ms shorter is not. Hops are 221 frames at
// 22.05 kHz and 960 at 96 kHz, where 0.405 s is not a whole number of hops.
TEST(GapFinder, ShortestSilenceFound) {
    const struct {
        unsigned rate;
        double minSilence, silence;
        int offset;  // frames into a hop where the silence starts
        bool found;
    } rows[] = {
        {22050, 0.4, 0.4, 10, true},
        {22050, 0.4, 0.39, 10, false},
        {96000, 0.405, 0.405, 100, true},
        {96000, 0.405, 0.395, 100, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.rate << " Hz, " << r.silence << " s of " << r.minSilence);
        const unsigned hop = unsigned(std::lround(r.rate * SoundAlgoGapFinder::kHopTime));
        const tk::Frames album =
            tk::concat({tk::track(100 * hop + r.offset, r.rate, -12, 1),
                        tk::silence(size_t(std::llround(r.silence * r.rate))), tk::track(r.rate, r.rate, -12, 2)});
        SoundAlgoGapFinder finder(r.minSilence);
        tk::run(finder, album, r.rate);
        EXPECT_EQ(finder.getGaps().size(), r.found ? 1u : 0u);
    }
}
