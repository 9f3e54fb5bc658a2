// The running filters against the direct-form recursion written out literally.
#include <cmath>
#include <functional>

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

std::valarray<double> scaledList(std::valarray<double> v, double s) {
    v *= s;
    return v;
}

template <class F>
std::function<std::shared_ptr<SoundTools::Filter>()> maker(std::valarray<double> b, std::valarray<double> a) {
    return [b, a] { return std::make_shared<F>(b, a); };
}
std::function<std::shared_ptr<SoundTools::Filter>()> biquad(std::valarray<double> b, std::valarray<double> a) {
    return [b, a] {
        const double bb[3] = {b[0], b[1], b[2]}, aa[3] = {a[0], a[1], a[2]};
        return std::make_shared<SoundTools::BiquadFilter>(bb, aa);
    };
}
}  // namespace

// Every variant (general loop, unrolled biquad, orders 1, 4 and 6) gives exactly
// the literal recursion's numbers, in one call and in odd-sized calls; so does
// the general loop on the same lists. Lists with a0 != 1 exercise the
// normalising multiplication; a one-coefficient filter is a scale, and a
// shorter list is padded with zeros.
TEST(FilterModel, VariantsMatchTheDirectFormExactly) {
    BiquadEqBuilder peak(BandEq, 1000.0, 1.0, 6.0);
    peak.init(kRate);
    const auto pb = peak.getBCoeff(), pa = peak.getACoeff();
    const auto pb2 = scaledList(pb, 2.5), pa2 = scaledList(pa, 2.5);
    const std::valarray<double> ob = {0.2, 0.2}, oa = {1.3, -0.9};
    const std::valarray<double> gb = {0.1, 0.05, -0.02, 0.01}, ga = {1.0, -1.2, 0.5, -0.07};
    auto o4 = Order4FilterBuilder(HighPass, 300.0).buildFilter(kRate);
    auto o6 = Order6FilterBuilder(LowPass, 5000.0).buildFilter(kRate);
    const auto b4 = o4->getBCoeff(), a4 = o4->getACoeff(), b6 = o6->getBCoeff(), a6 = o6->getACoeff();
    const std::valarray<double> b4s = scaledList(b4, 0.5), a4s = scaledList(a4, 0.5);
    const std::valarray<double> fir = {1.0, 0.5, 0.25};

    struct Case {
        const char* name;
        std::function<std::shared_ptr<Filter>()> make;
        std::valarray<double> b, a;
        double gain;
    };
    const Case cases[] = {
        {"general N=3", maker<Filter>(pb, pa), pb, pa, 1.0},
        {"general N=4", maker<Filter>(gb, ga), gb, ga, 0.7},
        {"single coefficient", maker<Filter>({3.0}, {2.0}), {3.0}, {2.0}, 0.5},
        {"shorter a list", maker<Filter>(fir, {1.0}), fir, {1.0}, 1.0},
        {"biquad a0=1", biquad(pb, pa), pb, pa, 1.0},
        {"biquad a0=2.5", biquad(pb2, pa2), pb2, pa2, 1.7},
        {"order 1", maker<Order1Filter>(ob, oa), ob, oa, 0.9},
        {"order 4", maker<Order4Filter>(b4, a4), b4, a4, 1.0},
        {"order 4 a0=0.5", maker<Order4Filter>(b4s, a4s), b4s, a4s, 1.0},
        {"order 6", maker<Order6Filter>(b6, a6), b6, a6, 2.0},
    };
    const Frames in = signal(6000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Frames ref = tk::directForm(in, c.b, c.a, c.gain);
        auto whole = c.make(), chunked = c.make();
        whole->setGain(c.gain);
        chunked->setGain(c.gain);
        Filter general(*whole);
        EXPECT_EQ(general.size(), std::max(c.b.size(), c.a.size()));
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(*whole, in, {unsigned(in.size())}), ref, 0.0));
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(*chunked, in, tk::oddBlocks()), ref, 0.0));
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(general, in, tk::oddBlocks()), ref, 0.0));
        EXPECT_EQ(whole->getLastInput().l, in.back().l);
        EXPECT_EQ(whole->getOutput().r * c.gain, ref.back().r);
    }
}

// The interleaved cascade equals the sections run one after the other, for any
// number of sections (groups of three and remainders), with and without
// normalisation and gains, in place or not.
TEST(FilterModel, CascadeEqualsSectionsInTurn) {
    const Frames in = signal(3000);
    const double freqs[7] = {60, 250, 1000, 4000, 9000, 15000, 120};
    for (unsigned count = 0; count <= 7; ++count) {
        for (bool plain : {true, false}) {
            SCOPED_TRACE(::testing::Message() << count << " sections, " << (plain ? "unity" : "scaled"));
            std::vector<std::shared_ptr<BiquadFilter>> cascade, single;
            for (unsigned k = 0; k < count; ++k) {
                BiquadEqBuilder band(BandEq, freqs[k], 1.9, double(k) - 3.0);
                band.init(kRate);
                auto b = band.getBCoeff(), a = band.getACoeff();
                if (!plain && k % 2 == 1) {
                    b *= 3.0;
                    a *= 3.0;
                }
                const double bb[3] = {b[0], b[1], b[2]}, aa[3] = {a[0], a[1], a[2]};
                for (auto* list : {&cascade, &single}) {
                    list->push_back(std::make_shared<BiquadFilter>(bb, aa));
                    if (!plain && k == count - 1) list->back()->setGain(0.6);
                }
            }
            std::vector<BiquadFilter*> raw;
            for (auto& f : cascade) raw.push_back(f.get());
            Frames expect = in;
            for (auto& f : single) f->filter(expect.data(), expect.data(), unsigned(expect.size()));
            // Two calls of different sizes, the first out of place.
            Frames out(in.size());
            BiquadFilter::filterCascade(raw.data(), count, in.data(), out.data(), 1234);
            Frames rest(in.begin() + 1234, in.end());
            BiquadFilter::filterCascade(raw.data(), count, rest.data(), rest.data(), unsigned(rest.size()));
            std::copy(rest.begin(), rest.end(), out.begin() + 1234);
            EXPECT_TRUE(tk::framesNear(out, expect, 0.0));
        }
    }
}

TEST(FilterModel, CopyCarriesCoefficientsAndGainButNoState) {
    auto built = BiquadEqBuilder(LowPass, 800.0, 1.0, 0.0).buildFilter(kRate);
    built->setGain(0.3);
    Frames warm = signal(500);
    built->filter(warm.data(), warm.data(), unsigned(warm.size()));
    ASSERT_NE(built->getOutput().l, 0.0);

    Filter copy(*built);
    EXPECT_EQ(copy.getGain(), 0.3);
    EXPECT_EQ(copy.getOutput().l, 0.0);
    EXPECT_EQ(copy.getLastInput().r, 0.0);
    Filter assigned(std::valarray<double>{1.0}, std::valarray<double>{1.0});
    assigned = *built;
    const Frames in = signal(300);
    const Frames ref = tk::directForm(in, built->getBCoeff(), built->getACoeff(), 0.3);
    EXPECT_TRUE(tk::framesNear(tk::filterInChunks(copy, in, {300}), ref, 0.0));
    EXPECT_TRUE(tk::framesNear(tk::filterInChunks(assigned, in, {300}), ref, 0.0));
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
std::shared_ptr<BiquadClipFilter> passThroughClip(double gain = 1.0) {
    const double b[3] = {1.0, 0.0, 0.0}, a[3] = {1.0, 0.0, 0.0};
    return std::make_shared<BiquadClipFilter>(b, a, gain);
}
}  // namespace

TEST(FilterClip, OvershootFadesTheBlockBeforeIt) {
    auto clip = passThroughClip();
    Frames x(12, Frame(0.5, -0.25));
    x[10] = Frame(-2.0, 1.0);
    x[11] = Frame(1.0, 1.0);
    clip->filter(x.data(), x.data(), unsigned(x.size()));
    const double newGain = 0.8 / 2.0, step = (newGain - 1.0) / 10.0;
    for (unsigned j = 0; j < 10; ++j) {
        EXPECT_DOUBLE_EQ(x[j].l, 0.5 * (double(j) * step + 1.0)) << j;
        EXPECT_DOUBLE_EQ(x[j].r, -0.25 * (double(j) * step + 1.0)) << j;
    }
    EXPECT_NEAR(x[10].absmax(), 0.8, 1e-15);
    EXPECT_NEAR(x[10].r, 0.4, 1e-15);
    EXPECT_DOUBLE_EQ(clip->getGain(), 0.4);
    EXPECT_DOUBLE_EQ(x[11].l, 0.4);  // the gain stays down
}

TEST(FilterClip, OvershootOnFirstFrameLeavesItButStopsTheRamp) {
    auto clip = passThroughClip();
    clip->setGain(2.0);
    EXPECT_EQ(clip->rampFramesLeft(), BiquadClipFilter::kRampFrames);
    Frames x = {Frame(3.0, 0.0), Frame(0.1, 0.1)};
    clip->filter(x.data(), x.data(), 2);
    // Frame 0: the ramp moved the gain one step before the check.
    EXPECT_DOUBLE_EQ(x[0].l, 3.0 * (1.0 + 1.0 / BiquadClipFilter::kRampFrames));
    EXPECT_EQ(clip->rampFramesLeft(), 0u);
    EXPECT_DOUBLE_EQ(x[1].l, 0.1 * clip->getGain());
}

TEST(FilterClip, FadeReachesBackAtMost2000Frames) {
    auto clip = passThroughClip();
    Frames x(3001, Frame(0.5, 0.5));
    x[3000] = Frame(4.0, 0.0);
    clip->filter(x.data(), x.data(), unsigned(x.size()));
    EXPECT_EQ(x[999].l, 0.5);
    EXPECT_EQ(x[1000].l, 0.5);  // j = 0: factor exactly 1
    EXPECT_LT(x[1001].l, 0.5);
    EXPECT_NEAR(x[2999].l, 0.5 * (1999.0 * (0.2 - 1.0) / 2000.0 + 1.0), 1e-15);
    EXPECT_NEAR(x[3000].l, 0.8, 1e-15);
}

TEST(FilterClip, SetGainRampsLinearlyOver440000Frames) {
    auto clip = passThroughClip(1.0);
    clip->setGain(1.0);
    EXPECT_EQ(clip->rampFramesLeft(), 0u);
    clip->setGain(0.5);
    Frames x(BiquadClipFilter::kRampFrames / 2, Frame(0.1, 0.1));
    clip->filter(x.data(), x.data(), unsigned(x.size()));
    EXPECT_NEAR(clip->getGain(), 0.75, 1e-9);
    EXPECT_NEAR(x.back().l, 0.075, 1e-10);
    x.assign(BiquadClipFilter::kRampFrames / 2 - 1, Frame(0.1, 0.1));
    clip->filter(x.data(), x.data(), unsigned(x.size()));
    EXPECT_EQ(clip->rampFramesLeft(), 1u);
    Frames last(5, Frame(0.1, 0.1));
    clip->filter(last.data(), last.data(), 5);
    EXPECT_EQ(clip->rampFramesLeft(), 0u);
    EXPECT_NEAR(clip->getGain(), 0.5, 1e-9);
    EXPECT_EQ(last[4].l, last[1].l);  // steady once the ramp is over
}

TEST(FilterClip, FiltersLikeAPlainBiquadBelowClipping) {
    auto eq = std::make_shared<BiquadEqBuilder>(BandEq, 2000.0, 1.0, 3.0);
    auto clip = eq->buildClipFilter(kRate, 0.8);
    EXPECT_EQ(clip->getGain(), 0.8);
    const Frames in = tk::scaled(signal(4000), 0.5);
    const Frames ref = tk::directForm(in, eq->getBCoeff(), eq->getACoeff(), 0.8);
    ASSERT_LT(tk::peak(ref), 1.0);
    EXPECT_TRUE(tk::framesNear(tk::filterInChunks(*clip, in, tk::oddBlocks()), ref, 0.0));
}
