#pragma once
// Private to the library. LoudnessGating: the K-weighted energy of a stereo
// stream, kept as one mean square per hop of 100 ms, and the gated figures made
// of those hops:
// - integrated loudness: blocks of 400 ms every hop, an absolute gate at
//   -70 LUFS, then a relative gate 10 LU under the mean of the blocks left;
// - loudness range: blocks of 3 s every second, the same absolute gate, a
//   relative gate 20 LU under their mean, then the 10th to the 95th percentile;
// - momentary (400 ms) and short-term (3 s) loudness of the latest hops.
// A block is a whole number of hops from the stream's first frame, so a block's
// energy is the mean of its hops' energies. An album gates the blocks of all its
// streams as one programme; no block spans two streams.
//
// The filter is the loudness meters' two-stage K-weighting (a high shelf of
// about +4 dB above 1.5 kHz, then a high-pass near 38 Hz), designed for the
// stream's rate by the bilinear transform of its analog prototype, run in
// double precision with both channels side by side in one vector. The
// recursion is the cost: a product and a sum a step, where keeping the state
// in memory between samples costs several times that.
//
// Energies are linear mean squares summed over the channels counted;
// loudness = -0.691 + 10 log10(energy) LUFS. A mono source's right channel is
// not counted. Hops of less than -200 LUFS count as digital silence (0).
//
// Plain value type, one per stream; not thread-safe.
#include <cstddef>
#include <vector>

#include "tonewright/SoundTools.h"

namespace SoundTools {
namespace detail {

class LoudnessGating {
public:
    using Frame = StereoFrame<double>;
    explicit LoudnessGating(unsigned sampleRate = 48000, bool mono = false);

    // Frames in a hop (a tenth of a second, rounded).
    unsigned hop() const { return mHop; }
    // Adds frames; the hops completed are appended to hops().
    void add(const Frame* frames, size_t n);
    const std::vector<double>& hops() const { return mHops; }

    // Loudness of the window of `count` hops that ends with hops()[end - 1]
    // (where it reaches before the stream's start, it holds silence).
    double window(size_t end, size_t count) const;
    // Loudness of every frame so far, the hop under way included, in a window
    // of `count` hops: for streams no longer than the window.
    double whole(size_t count) const;
    // -inf when no block passes the gates (fewer than 400 ms of sound).
    double integrated() const { return integrated({this}); }
    // LU; 0 when fewer than two short-term blocks pass the gates.
    double range() const { return range({this}); }
    static double integrated(const std::vector<const LoudnessGating*>& streams);
    static double range(const std::vector<const LoudnessGating*>& streams);

    static double loudnessOf(double energy);

private:
    unsigned mHop;
    bool mMono;
    double mB[3], mA[2];  // the shelf: b0 b1 b2, a1 a2 (a0 = 1)
    double mHa[2];        // the high-pass: a1 a2 (its b is 1, -2, 1)
    double mState[8] = {};  // two transposed direct-form states of each stage, per channel
    double mSum[2] = {};    // squares of the current hop so far, per channel
    unsigned mInHop = 0;
    std::vector<double> mHops;
};

}  // namespace detail
}  // namespace SoundTools
