// The running filters against the direct-form recursion written out literally.
#include <cmath>
#include <functional>
#include <type_traits>

#include "common/FilterKit.h"
#include "common/MessageCapture.h"
#include "tonewright/SoundFilter.h"
#include "tonewright/SoundFilterBuilders.h"

using namespace SoundTools;
using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 44100;

Frames signal(size_t n) {
    Frames f = tk::mixedStereo(n, kRate, 3);
    const Frames nz = tk::noise(n, 0.2, 11);
    for (size_t i = 0; i < n; ++i) f[i].l += nz[i].l;
    return f;
}

using Make = std::function<std::shared_ptr<Filter>(const std::valarray<double>&, const std::valarray<double>&)>;
template <class F>
std::shared_ptr<Filter> make(const std::valarray<double>& b, const std::valarray<double>& a) {
    return std::make_shared<F>(b, a);
}
// The unrolled biquad, plain or clipping at gain 0.3 (a clip filter ramps to a
// new gain; its clip is never reached here).
template <class F>
std::shared_ptr<Filter> biquad(const std::valarray<double>& b, const std::valarray<double>& a) {
    const double bb[3] = {b[0], b[1], b[2]}, aa[3] = {a[0], a[1], a[2]};
    if (std::is_same<F, BiquadClipFilter>::value) return std::make_shared<BiquadClipFilter>(bb, aa, 0.3);
    return std::make_shared<BiquadFilter>(bb, aa);
}
}  // namespace

// Every variant (general loop, unrolled and clipping biquads, orders 1, 4 and
// 6) gives exactly the literal recursion's numbers, in one call and in
// odd-sized calls. A copy or an assignment of a filter that has run carries its
// coefficients and gain but starts from rest. Lists with a0 != 1 exercise the
// normalising multiplication; a one-coefficient filter is a scale, and a
// shorter list is padded with zeros.
TEST(FilterModel, VariantsMatchTheDirectFormExactly) {
    BiquadEqBuilder peak(BandEq, 1000.0, 1.0, 6.0);
    peak.init(kRate);
    const auto pb = peak.getBCoeff(), pa = peak.getACoeff();
    auto o4 = Order4FilterBuilder(HighPass, 300.0).buildFilter(kRate);
    auto o6 = Order6FilterBuilder(LowPass, 5000.0).buildFilter(kRate);
    const auto b4 = o4->getBCoeff(), a4 = o4->getACoeff(), b6 = o6->getBCoeff(), a6 = o6->getACoeff();
    struct Case { const char* name; Make make; std::valarray<double> b, a; double gain; };
    const Case cases[] = {
        {"general N=3", make<Filter>, pb, pa, 1.0},
        {"general N=4", make<Filter>, {0.1, 0.05, -0.02, 0.01}, {1.0, -1.2, 0.5, -0.07}, 0.7},
        {"single coefficient", make<Filter>, {3.0}, {2.0}, 0.5},
        {"shorter a list", make<Filter>, {1.0, 0.5, 0.25}, {1.0}, 1.0},
        {"biquad a0=1", biquad<BiquadFilter>, pb, pa, 1.0},
        {"biquad a0=2.5", biquad<BiquadFilter>, pb * 2.5, pa * 2.5, 1.7},
        {"clip biquad", biquad<BiquadClipFilter>, pb, pa, 0.3},
        {"order 1", make<Order1Filter>, {0.2, 0.2}, {1.3, -0.9}, 0.9},
        {"order 4", make<Order4Filter>, b4, a4, 1.0},
        {"order 4 a0=0.5", make<Order4Filter>, b4 * 0.5, a4 * 0.5, 1.0},
        {"order 6", make<Order6Filter>, b6, a6, 2.0},
    };
    const Frames in = signal(6000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Frames ref = tk::directForm(in, c.b, c.a, c.gain);
        auto whole = c.make(c.b, c.a), chunked = c.make(c.b, c.a);
        whole->setGain(c.gain);
        chunked->setGain(c.gain);
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(*whole, in, {unsigned(in.size())}), ref, 0.0));
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(*chunked, in, tk::oddBlocks()), ref, 0.0));
        EXPECT_EQ(whole->getLastInput().l, in.back().l);
        EXPECT_EQ(whole->getOutput().r * c.gain, ref.back().r);
        Filter copy(*whole), assigned(std::valarray<double>{1.0}, std::valarray<double>{1.0});
        assigned = *chunked;
        EXPECT_EQ(copy.size(), std::max(c.b.size(), c.a.size()));
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(copy, in, tk::oddBlocks()), ref, 0.0));
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(assigned, in, {unsigned(in.size())}), ref, 0.0));
    }
}

// The interleaved cascade equals the sections run one after the other, for any
// number of sections (groups of three and remainders), with and without
// normalisation and gains, in place or not.
TEST(FilterModel, CascadeEqualsSectionsInTurn) {
    const Frames in = signal(3000);
    const double freqs[7] = {60, 250, 1000, 4000, 9000, 15000, 120};
    for (unsigned count = 0; count <= 7; ++count)
        for (bool plain : {true, false}) {
            SCOPED_TRACE(::testing::Message() << count << " sections, " << (plain ? "unity" : "scaled"));
            std::vector<std::shared_ptr<BiquadFilter>> cascade;
            std::vector<BiquadFilter*> raw;
            Frames expect = in;
            for (unsigned k = 0; k < count; ++k) {
                BiquadEqBuilder band(BandEq, freqs[k], 1.9, double(k) - 3.0);
                band.init(kRate);
                const double s = !plain && k % 2 == 1 ? 3.0 : 1.0, gain = !plain && k == count - 1 ? 0.6 : 1.0;
                const std::valarray<double> b = band.getBCoeff() * s, a = band.getACoeff() * s;
                const double bb[3] = {b[0], b[1], b[2]}, aa[3] = {a[0], a[1], a[2]};
                cascade.push_back(std::make_shared<BiquadFilter>(bb, aa));
                cascade.back()->setGain(gain);
                raw.push_back(cascade.back().get());
                expect = tk::directForm(expect, b, a, gain);
            }
            // Two calls of different sizes, the first out of place.
            Frames out(in.size());
            BiquadFilter::filterCascade(raw.data(), count, in.data(), out.data(), 1234);
            Frames rest(in.begin() + 1234, in.end());
            BiquadFilter::filterCascade(raw.data(), count, rest.data(), rest.data(), unsigned(rest.size()));
            std::copy(rest.begin(), rest.end(), out.begin() + 1234);
            EXPECT_TRUE(tk::framesNear(out, expect, 0.0));
        }
}

// Lists without a usable a[0] make a defined, silent filter and say so.
TEST(FilterModel, DegenerateListsGiveSilence) {
    tk::MessageCapture log;
    Filter empty{std::valarray<double>(), std::valarray<double>()};
    Filter zeroA0(std::valarray<double>{1.0, 1.0}, std::valarray<double>{0.0, 0.5});
    EXPECT_EQ(log.messages(QtCriticalMsg).size(), 2);
    for (Filter* f : {&empty, &zeroA0}) {
        Frames x = signal(64);
        f->filter(x.data(), x.data(), 64);
        EXPECT_EQ(tk::peak(x), 0.0);
    }
}

// ---------------------------------------------------------------- clip filter

namespace {
std::shared_ptr<BiquadClipFilter> passThroughClip() {
    const double b[3] = {1.0, 0.0, 0.0}, a[3] = {1.0, 0.0, 0.0};
    return std::make_shared<BiquadClipFilter>(b, a, 1.0);
}
}  // namespace

// An output above full scale sets the gain to 0.8 over that frame's peak, and
// the frames before it in the block (at most 2000) fade linearly from the old
// gain to the new one; the gain then stays down.
TEST(FilterClip, OvershootFadesTheFramesBeforeIt) {
    for (size_t at : {10u, 3000u}) {
        SCOPED_TRACE(at);
        auto clip = passThroughClip();
        Frames x(at + 2, Frame(0.5, -0.25));
        x[at] = Frame(-2.0, 1.0);
        clip->filter(x.data(), x.data(), unsigned(x.size()));
        const double newGain = 0.8 / 2.0;
        const size_t n = std::min<size_t>(at, 2000);
        for (size_t k = 0; k < at; ++k) {
            const double factor = k < at - n ? 1.0 : 1.0 + double(k - (at - n)) * (newGain - 1.0) / double(n);
            ASSERT_NEAR(x[k].l, 0.5 * factor, 1e-15) << k;
            ASSERT_NEAR(x[k].r, -0.25 * factor, 1e-15) << k;
        }
        EXPECT_NEAR(x[at].l, -0.8, 1e-15);
        EXPECT_NEAR(x[at].r, 0.4, 1e-15);
        EXPECT_DOUBLE_EQ(clip->getGain(), newGain);
        EXPECT_DOUBLE_EQ(x[at + 1].l, 0.5 * newGain);
    }
}

// setGain ramps linearly over kRampFrames frames; an overshoot on a block's
// first frame has nothing to fade, but abandons the ramp.
TEST(FilterClip, SetGainRampsLinearlyUntilAnOvershoot) {
    auto clip = passThroughClip();
    clip->setGain(1.0);
    EXPECT_EQ(clip->rampFramesLeft(), 0u);
    clip->setGain(0.5);
    const unsigned R = BiquadClipFilter::kRampFrames;
    Frames x(R / 2, Frame(0.1, 0.1));
    clip->filter(x.data(), x.data(), unsigned(x.size()));
    EXPECT_NEAR(clip->getGain(), 0.75, 1e-9);
    EXPECT_NEAR(x.back().l, 0.075, 1e-10);
    x.assign(R / 2 - 1, Frame(0.1, 0.1));
    clip->filter(x.data(), x.data(), unsigned(x.size()));
    EXPECT_EQ(clip->rampFramesLeft(), 1u);
    Frames last(5, Frame(0.1, 0.1));
    clip->filter(last.data(), last.data(), 5);
    EXPECT_EQ(clip->rampFramesLeft(), 0u);
    EXPECT_NEAR(clip->getGain(), 0.5, 1e-9);
    EXPECT_EQ(last[4].l, last[1].l);

    const double g0 = clip->getGain();
    clip->setGain(1.0);  // back up: the first step is (1 - g0) / R
    Frames over = {Frame(3.0, 0.0), Frame(0.1, 0.1)};
    clip->filter(over.data(), over.data(), 2);
    EXPECT_DOUBLE_EQ(over[0].l, 3.0 * (g0 + (1.0 - g0) / R));
    EXPECT_EQ(clip->rampFramesLeft(), 0u);
    EXPECT_DOUBLE_EQ(over[1].l, 0.1 * clip->getGain());
}
