// The IIR designs judged on the response evaluated from the coefficients they
// build: biquads against their analog prototypes and the Butterworth orders
// against |H|^2 = 1 / (1 + w^2n), both through the bilinear transform (the
// digital frequency f is the analog tan(pi f / fs) / tan(pi f0 / fs)); the A
// weighting against the standard curve; degenerate corners and bad parameters.
// The running filters against the direct-form recursion written out literally.
#include <cmath>
#include <complex>
#include <functional>
#include <type_traits>

#include "common/FilterKit.h"
#include "common/MessageCapture.h"
#include "tonewright/SoundFilter.h"
#include "tonewright/SoundFilterBuilders.h"

using namespace SoundTools;
using cd = std::complex<double>;
using tk::Frame;
using tk::Frames;

namespace {
const unsigned kRates[] = {22050, 44100, 48000, 96000};
const FilterType kTypes[] = {LowPass, BandPass, HighPass, LowShelf, BandEq, HighShelf};

// A width design (shape in octaves), a Q design (shape the Q) or a Butterworth
// order (shape the order).
struct Design {
    enum Family { Width, Q, Order } family;
    FilterType type;
    double f0, shape, gain;
};

std::ostream& operator<<(std::ostream& o, const Design& d) {
    return o << "family " << d.family << " type " << d.type << " f0 " << d.f0 << " shape " << d.shape << " gain "
             << d.gain;
}

std::shared_ptr<Filter> build(const Design& d, unsigned fs) {
    if (d.family == Design::Width) return BiquadEqBuilder(d.type, d.f0, d.shape, d.gain).buildFilter(fs);
    if (d.family == Design::Q) {
        BiquadEqBuilder b(d.type);
        b.setFreq(d.f0).setQ(d.shape).setGain(d.gain);
        return b.buildFilter(fs);
    }
    if (d.shape == 1) return Order1FilterBuilder(d.type, d.f0).buildFilter(fs);
    if (d.shape == 4) return Order4FilterBuilder(d.type, d.f0).buildFilter(fs);
    return Order6FilterBuilder(d.type, d.f0).buildFilter(fs);
}

// The model's magnitude (dB) at the normalised analog frequency w.
double modelDb(const Design& d, double w, double fs) {
    const cd s(0.0, w);
    const auto pass = [&](double Q) -> cd {
        if (d.type == BandPass) return (s / Q) / (s * s + s / Q + 1.0);
        return (d.type == LowPass ? 1.0 : s * s) / (s * s + s / Q + 1.0);
    };
    cd h;
    if (d.family == Design::Order) {
        const double w2n = std::pow(w, 2 * d.shape);
        return 10.0 * std::log10(d.type == LowPass ? 1.0 / (1.0 + w2n) : w2n / (1.0 + w2n));
    } else if (d.family == Design::Width) {  // the cookbook's forms
        const double w0 = 2.0 * M_PI * d.f0 / fs, A = std::pow(10.0, d.gain / 40.0);
        const double Q = 1.0 / (2.0 * std::sinh(std::log(2.0) / 2.0 * d.shape * w0 / std::sin(w0)));
        const double r = std::sqrt(A) * std::sqrt((A + 1.0 / A) * (1.0 / std::min(d.shape, 1.0) - 1.0) + 2.0);
        switch (d.type) {
            case BandEq: h = (s * s + s * (A / Q) + 1.0) / (s * s + s / (A * Q) + 1.0); break;
            case LowShelf: h = A * (s * s + r * s + A) / (A * s * s + r * s + 1.0); break;
            case HighShelf: h = A * (A * s * s + r * s + 1.0) / (s * s + r * s + A); break;
            default: h = pass(Q);
        }
    } else {  // the tangent forms; a cut is the boost inverted
        const double V = std::pow(10.0, std::fabs(d.gain) / 20.0), r2 = std::sqrt(2.0), rv = std::sqrt(2.0 * V);
        switch (d.type) {
            case BandEq: h = (s * s + V * s / d.shape + 1.0) / (s * s + s / d.shape + 1.0); break;
            case LowShelf: h = (s * s + rv * s + V) / (s * s + r2 * s + 1.0); break;
            case HighShelf: h = (V * s * s + rv * s + 1.0) / (s * s + r2 * s + 1.0); break;
            default: return 20.0 * std::log10(std::abs(pass(d.shape)));
        }
        if (d.gain < 0.0) h = 1.0 / h;
    }
    return 20.0 * std::log10(std::abs(h));
}

// The width family rounds its high- and band-pass normalisation through single
// precision (poles move ~1e-7: up to ~1e-3 dB far below a low corner) and its
// shelves' amplitude (~1e-6 dB); the orders' section Qs are given to 7 digits.
// Rounding a direct form's coefficients moves its magnitude by about
// eps * (sum|a| / |A(f)| + sum|b| / |B(f)|), relative: large for high orders
// with poles (and, for a high-pass, zeros) crowding z = 1. The orders' |B| is
// known exactly: b0 |1 -+ z^-1|^n.
double toleranceDb(const Design& d, const Filter& f, double freq, double fs) {
    double sa = 0.0, sb = 0.0;
    for (double v : f.getACoeff()) sa += std::fabs(v);
    for (double v : f.getBCoeff()) sb += std::fabs(v);
    const double B = d.family != Design::Order ? std::abs(tk::response(f.getBCoeff(), {1.0}, freq, fs))
                     : std::fabs(f.getBCoeff()[0]) *
                           std::pow(2.0 * (d.type == LowPass ? std::cos(M_PI * freq / fs) : std::sin(M_PI * freq / fs)),
                                    d.shape);
    const double rel = 4.0 * 2.2e-16 * (sa / std::abs(tk::response(f.getACoeff(), {1.0}, freq, fs)) + sb / B);
    double tol = 1e-7;
    if (d.family == Design::Order) tol = 1e-5;
    if (d.family == Design::Width && (d.type == HighPass || d.type == BandPass)) tol = 2e-3;
    if (d.family == Design::Width && (d.type == LowShelf || d.type == HighShelf)) tol = 2e-5;
    return tol + 20.0 * std::log10(1.0 + rel);
}
}  // namespace

// Every design, at every rate, from a decade below its corner to two octaves above.
TEST(FilterDesign, ResponsesMatchTheirAnalogModels) {
    std::vector<Design> designs;
    for (FilterType t : kTypes) {
        for (Design d : {Design{Design::Width, t, 100, 1.0, 6.0}, Design{Design::Width, t, 1000, 1.9, -9.0},
                         Design{Design::Width, t, 5000, 0.5, 3.0}, Design{Design::Width, t, 3000, 0.3, 12.0}})
            designs.push_back(d);
        for (double f0 : {150.0, 2500.0, 7000.0})
            for (double q : {0.5, 0.7071, 2.0})
                for (double g : {-10.0, 0.0, 6.0}) designs.push_back({Design::Q, t, f0, q, g});
    }
    for (double order : {1, 4, 6})
        for (FilterType t : {LowPass, HighPass})
            for (double fc : {80.0, 1000.0, 6000.0}) designs.push_back({Design::Order, t, fc, order, 0.0});
    int checked = 0;
    for (const Design& d : designs)
        for (unsigned fs : kRates) {
            SCOPED_TRACE(::testing::Message() << d << " fs " << fs);
            const auto filter = build(d, fs);
            for (double r : {0.1, 0.2, 0.5, 0.7, 0.9, 1.0, 1.1, 1.3, 2.0, 3.0, 4.0}) {
                const double f = d.f0 * r;
                if (f >= 0.45 * fs) continue;
                const double w = std::tan(M_PI * f / fs) / std::tan(M_PI * d.f0 / fs);
                ASSERT_NEAR(tk::responseDb(filter->getBCoeff(), filter->getACoeff(), f, fs), modelDb(d, w, fs),
                            toleranceDb(d, *filter, f, fs))
                    << "f " << f;
                ++checked;
            }
        }
    EXPECT_GT(checked, 2500);
}

// Widths are clamped to [0.0001, 4] octaves for a peaking band and to 1 for
// shelves; the Q designs' shelves ignore Q.
TEST(FilterDesign, ParametersThatChangeNothing) {
    const auto same = [](const Design& x, const Design& y) {
        auto a = build(x, 44100), b = build(y, 44100);
        return (a->getBCoeff() == b->getBCoeff()).min() && (a->getACoeff() == b->getACoeff()).min();
    };
    const Design::Family W = Design::Width, Q = Design::Q;
    const std::pair<Design, Design> pairs[] = {
        {{W, BandEq, 1000, 10.0, 6}, {W, BandEq, 1000, 4.0, 6}},     {{W, BandEq, 1000, 1e-5, 6}, {W, BandEq, 1000, 1e-4, 6}},
        {{W, LowShelf, 1000, 5.0, 6}, {W, LowShelf, 1000, 1.0, 6}}, {{W, HighShelf, 1000, 5.0, 6}, {W, HighShelf, 1000, 1.0, 6}},
        {{Q, LowShelf, 800, 0.3, -5}, {Q, LowShelf, 800, 7.0, -5}}, {{Q, HighShelf, 800, 0.3, -5}, {Q, HighShelf, 800, 7.0, -5}},
    };
    for (const auto& p : pairs) EXPECT_TRUE(same(p.first, p.second)) << p.first;
    EXPECT_FALSE(same({W, BandEq, 1000, 3.0, 6}, {W, BandEq, 1000, 4.0, 6}));
}

// Corners at or above Nyquist leave the stream exactly as it is (just below,
// the design is a filter again; the fourth and sixth orders pass through the same
// sections). Types a builder cannot make are reported with
// the fixed message; the biquad then is silent, the first-order filter passes
// the stream; a biquad with neither width nor Q is silent without a message.
TEST(FilterDesign, DegenerateDesigns) {
    enum Output { Passes, Silent, Filters };
    struct Row { Design design; Output output; QStringList messages; };
    const Design::Family W = Design::Width, Q = Design::Q, O = Design::Order;
    std::vector<Row> rows = {
        {{O, LowPass, 22050, 1, 0}, Passes, {}},
        {{O, HighPass, 22050, 6, 0}, Passes, {}},
        {{W, BandEq, 1000, 0.0, 6}, Silent, {}},
        {{O, BandEq, 1000, 1, 0}, Passes, {"Unsupported FirstOrderFilter Eq mode : 5"}},
        // The fourth-order builder hands the type to its two biquad sections.
        {{O, BandStop, 1000, 4, 0}, Silent, {"Unsupported Biquad Eq mode : 2", "Unsupported Biquad Eq mode : 2"}},
    };
    for (int t : {2, 7, -1})
        rows.push_back({{W, FilterType(t), 1000, 1.0, 6}, Silent, {QString("Unsupported Biquad Eq mode : %1").arg(t)}});
    for (FilterType t : kTypes) {
        for (double f : {22050.0, 22049.5, 30000.0}) rows.push_back({{W, t, f, 1.0, 6}, Passes, {}});
        rows.push_back({{W, t, 20000, 1.0, 6}, Filters, {}});
        rows.push_back({{Q, t, 22049.4, 0.7, 6}, Filters, {}});
    }
    const Frames in = tk::noise(500, 0.5, 3);
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.design);
        tk::MessageCapture log;
        auto f = build(r.design, 44100);
        EXPECT_EQ(log.messages(), r.messages);
        const Frames out = tk::filterInChunks(*f, in, {500});
        EXPECT_EQ(tk::framesNear(out, in, 0.0), r.output == Passes);
        EXPECT_EQ(tk::peak(out) == 0.0, r.output == Silent);
    }
}

// Bad parameters never put NaN, infinity or a runaway into a stream. Corners so
// low that the multiplied-out high orders would put poles outside the unit
// circle are raised, with a warning, until they do not; usual corners are not.
TEST(FilterDesign, BadParametersNeverProduceNonFiniteOutput) {
    tk::MessageCapture log;
    const auto bounded = [](const Design& d, unsigned fs, Frames x, double limit) {
        build(d, fs)->filter(x.data(), x.data(), unsigned(x.size()));
        for (const Frame& fr : x)
            if (!(std::isfinite(fr.l) && std::isfinite(fr.r) && fr.absmax() < limit)) return false;
        return true;
    };
    const Frames probe = tk::concat({Frames{Frame(1.0, -1.0)}, tk::noise(600, 1.0, 9)});
    for (int t = 0; t <= 7; ++t)
        for (double f : {-500.0, 0.0, 0.5, 1.0, 20.0, 1000.0, 22049.0, 22050.0, 44100.0, 1e12, double(NAN)})
            for (double g : {-60.0, 0.0, 60.0}) {
                for (double w : {-2.0, 0.0, 1e-12, 0.5, 1.9, 4.0, 60.0, 1e6})
                    ASSERT_TRUE(bounded({Design::Width, FilterType(t), f, w, g}, 44100, probe, HUGE_VAL)) << w;
                for (double q : {-1.0, 0.0, 1e-300, 0.7, 1e6})
                    ASSERT_TRUE(bounded({Design::Q, FilterType(t), f, q, g}, 44100, probe, HUGE_VAL)) << q;
            }
    const Frames in = tk::noise(200000, 0.5, 13);
    for (unsigned fs : kRates)
        for (double fc : {-100.0, 0.0, 1.0, 5.0, 20.0, double(NAN), fs / 2.0, 1e12})
            for (FilterType t : {LowPass, HighPass})
                for (double order : {1, 4, 6})
                    ASSERT_TRUE(bounded({Design::Order, t, fc, order, 0.0}, fs, in, 10.0)) << fc << " at " << fs;
    int raised = 0;
    for (const QString& m : log.messages(QtWarningMsg)) raised += m.contains("is too low for a direct-form filter");
    EXPECT_GT(raised, 0);
    log.clear();
    build({Design::Order, HighPass, 20.0, 4, 0.0}, 96000);
    build({Design::Order, LowPass, 30.0, 6, 0.0}, 44100);
    EXPECT_TRUE(log.messages().isEmpty());
}

// A weighting: largest coefficient exactly 1, within 0.1 dB of the standard
// curve (0 dB at 1 kHz) at the third octaves from 10 Hz up to where
// the bilinear transform's warping (no prewarping) takes over: 3.2 kHz at
// 22050 Hz, 4 kHz at 44100 Hz, 5 kHz at 48000 Hz, 6.3 kHz at 96000 Hz.
TEST(FilterDesign, AWeightingFollowsTheStandardCurve) {
    const auto curve = [](double f) {
        const double f2 = f * f, a = 20.6 * 20.6, b = 107.7 * 107.7, c = 737.9 * 737.9, d = 12194.0 * 12194.0;
        return 20.0 * std::log10(d * f2 * f2 / ((f2 + a) * std::sqrt((f2 + b) * (f2 + c)) * (f2 + d))) + 2.0;
    };
    const std::pair<unsigned, double> limits[] = {{22050, 3200.0}, {44100, 4000.0}, {48000, 5100.0}, {96000, 6400.0}};
    for (const auto& lim : limits) {
        const unsigned fs = lim.first;
        auto f = WeightingFilterBuilder().buildFilter(fs);
        EXPECT_EQ(f->size(), 7u);
        EXPECT_EQ(std::max(std::valarray<double>(std::abs(f->getBCoeff())).max(),
                           std::valarray<double>(std::abs(f->getACoeff())).max()),
                  1.0);
        for (int k = -20; 1000.0 * std::pow(10.0, k / 10.0) <= lim.second; ++k) {
            const double freq = 1000.0 * std::pow(10.0, k / 10.0);
            EXPECT_NEAR(tk::responseDb(f->getBCoeff(), f->getACoeff(), freq, fs), curve(freq), 0.1)
                << "fs " << fs << " f " << freq;
        }
    }
}

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
// shorter list is padded with zeros. (The general loop is one for every length.)
TEST(FilterModel, VariantsMatchTheDirectFormExactly) {
    BiquadEqBuilder peak(BandEq, 1000.0, 1.0, 6.0);
    peak.init(kRate);
    const auto pb = peak.getBCoeff(), pa = peak.getACoeff();
    auto o4 = Order4FilterBuilder(HighPass, 300.0).buildFilter(kRate);
    auto o6 = Order6FilterBuilder(LowPass, 5000.0).buildFilter(kRate);
    const auto b4 = o4->getBCoeff(), a4 = o4->getACoeff(), b6 = o6->getBCoeff(), a6 = o6->getACoeff();
    struct Case { const char* name; Make make; std::valarray<double> b, a; double gain; };
    const Case cases[] = {
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
        for (const auto& f : {whole, chunked}) f->setGain(c.gain);
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
    // Two fourth-order filters run as a pair (a crossover's two bands), one of
    // them with a0 != 1 and a gain: each still gives its own literal recursion.
    Order4Filter plain(b4, a4), scaled(b4 * 0.5, a4 * 0.5);
    scaled.setGain(0.7);
    Frames low(in.size()), high(in.size());
    for (size_t at = 0, k = 0; at < in.size(); ++k) {
        const size_t n = std::min<size_t>(tk::oddBlocks()[k % tk::oddBlocks().size()], in.size() - at);
        Order4Filter::filterPair(plain, scaled, &in[at], &low[at], &high[at], unsigned(n));
        at += n;
    }
    EXPECT_TRUE(tk::framesNear(low, tk::directForm(in, b4, a4, 1.0), 0.0));
    EXPECT_TRUE(tk::framesNear(high, tk::directForm(in, b4 * 0.5, a4 * 0.5, 0.7), 0.0));
}

// Lists without a usable a[0] make a defined, silent filter and say so; a
// cascade of no sections copies its input. (Cascades of sections: the filter
// algorithm's chains, which run their biquads as one.)
TEST(FilterModel, DegenerateListsGiveSilence) {
    tk::MessageCapture log;
    Filter empty{std::valarray<double>(), std::valarray<double>()};
    Filter zeroA0(std::valarray<double>{1.0, 1.0}, std::valarray<double>{0.0, 0.5});
    EXPECT_EQ(log.messages(QtCriticalMsg).size(), 2);
    for (Filter* f : {&empty, &zeroA0}) EXPECT_EQ(tk::peak(tk::filterInChunks(*f, signal(64), {64})), 0.0);
    const Frames in = signal(64);
    Frames out(64);
    BiquadFilter::filterCascade(nullptr, 0, in.data(), out.data(), 64);
    EXPECT_TRUE(tk::framesNear(out, in, 0.0));
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
