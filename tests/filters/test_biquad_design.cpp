// Biquad designs against their analog prototypes: the bilinear transform maps
// the digital frequency f to the normalised analog frequency
// tan(pi f / fs) / tan(pi f0 / fs), so the response evaluated from the built
// coefficients must equal the prototype's there.
#include <cmath>
#include <complex>

#include "common/FilterKit.h"
#include "common/MessageCapture.h"
#include "tonewright/SoundFilterBuilders.h"

using namespace SoundTools;
using cd = std::complex<double>;
using tk::Frame;
using tk::Frames;

namespace {
const unsigned kRates[] = {22050, 44100, 48000, 96000};
constexpr double kLn2Half = 0.34657359027997264;

// The cookbook's Q for a bandwidth in octaves at w0.
double qFromWidth(double width, double f0, double fs) {
    const double w0 = 2.0 * M_PI * f0 / fs;
    return 1.0 / (2.0 * std::sinh(kLn2Half * width * w0 / std::sin(w0)));
}

// Analog prototypes of the cookbook designs (s normalised to the centre).
cd cookbook(FilterType type, cd s, double Q, double gainDb, double slope) {
    const double A = std::pow(10.0, gainDb / 40.0);
    switch (type) {
        case LowPass: return 1.0 / (s * s + s / Q + 1.0);
        case HighPass: return s * s / (s * s + s / Q + 1.0);
        case BandPass: return (s / Q) / (s * s + s / Q + 1.0);
        case BandEq: return (s * s + s * (A / Q) + 1.0) / (s * s + s / (A * Q) + 1.0);
        case LowShelf:
        case HighShelf: {
            const double invQ = std::sqrt((A + 1.0 / A) * (1.0 / slope - 1.0) + 2.0);
            const double r = std::sqrt(A) * invQ;
            if (type == LowShelf) return A * (s * s + r * s + A) / (A * s * s + r * s + 1.0);
            return A * (A * s * s + r * s + 1.0) / (s * s + r * s + A);
        }
        default: return 0.0;
    }
}

// Analog prototypes of the tangent (Q) designs.
cd tangent(FilterType type, cd s, double Q, double gainDb) {
    const double V = std::pow(10.0, std::fabs(gainDb) / 20.0);
    cd h;
    switch (type) {
        case LowPass: return 1.0 / (s * s + s / Q + 1.0);
        case HighPass: return s * s / (s * s + s / Q + 1.0);
        case BandPass: return (s / Q) / (s * s + s / Q + 1.0);
        case BandEq: h = (s * s + V * s / Q + 1.0) / (s * s + s / Q + 1.0); break;
        case LowShelf: h = (s * s + std::sqrt(2.0 * V) * s + V) / (s * s + std::sqrt(2.0) * s + 1.0); break;
        case HighShelf: h = (V * s * s + std::sqrt(2.0 * V) * s + 1.0) / (s * s + std::sqrt(2.0) * s + 1.0); break;
        default: return 0.0;
    }
    return gainDb >= 0.0 ? h : 1.0 / h;
}

double analogDb(cd h) { return 20.0 * std::log10(std::abs(h)); }

const FilterType kTypes[] = {LowPass, BandPass, HighPass, LowShelf, BandEq, HighShelf};

// The width-family high- and band-pass round their normalisation through single
// precision, which moves the poles by ~1e-7 (relative): up to ~1e-3 dB far
// below a low corner. The shelves round their amplitude (~1e-6 dB). The other
// designs are double precision throughout.
double tolerance(FilterType type, bool widthFamily) {
    if (!widthFamily || type == LowPass || type == BandEq) return 1e-7;
    return type == HighPass || type == BandPass ? 2e-3 : 2e-5;
}
}  // namespace

// Both families against their prototypes at frequencies around the centre: a
// width design (centre, width in octaves, gain) and a Q design (centre, Q, gain).
TEST(BiquadDesign, DesignsMatchTheirAnalogPrototypes) {
    struct Design {
        bool widthFamily;
        double f0, shape, gain;  // shape: width in octaves, or Q
    };
    std::vector<Design> designs;
    for (const Design& d : {Design{true, 100.0, 1.0, 6.0}, Design{true, 1000.0, 1.9, -9.0},
                            Design{true, 5000.0, 0.5, 3.0}, Design{true, 3000.0, 0.3, 12.0}})
        designs.push_back(d);
    for (double f0 : {150.0, 2500.0, 7000.0})
        for (double q : {0.5, 0.7071, 2.0})
            for (double g : {-10.0, 0.0, 6.0}) designs.push_back({false, f0, q, g});
    int checked = 0;
    for (unsigned fs : kRates)
        for (FilterType type : kTypes)
            for (const Design& d : designs) {
                BiquadEqBuilder b = d.widthFamily ? BiquadEqBuilder(type, d.f0, d.shape, d.gain) : BiquadEqBuilder(type);
                if (!d.widthFamily) b.setFreq(d.f0).setQ(d.shape).setGain(d.gain);
                b.init(fs);
                const double k0 = std::tan(M_PI * d.f0 / fs);
                for (double r : {0.1, 0.2, 0.5, 0.7, 0.9, 1.0, 1.1, 1.3, 2.0, 3.0}) {
                    const double f = d.f0 * r;
                    if (f >= 0.45 * fs) continue;
                    const cd s(0.0, std::tan(M_PI * f / fs) / k0);
                    const double expect =
                        d.widthFamily
                            ? analogDb(cookbook(type, s, qFromWidth(d.shape, d.f0, fs), d.gain, std::min(d.shape, 1.0)))
                            : analogDb(tangent(type, s, d.shape, d.gain));
                    ASSERT_NEAR(tk::responseDb(b.getBCoeff(), b.getACoeff(), f, fs), expect,
                                tolerance(type, d.widthFamily))
                        << (d.widthFamily ? "width" : "Q") << " design, type " << type << " f0 " << d.f0 << " shape "
                        << d.shape << " gain " << d.gain << " f " << f << " fs " << fs;
                    ++checked;
                }
            }
    EXPECT_GT(checked, 2000);
}

// Peaking band: exactly its gain at the centre. Shelves: full gain on their
// side, half (in dB) at the corner. Pass types: unity where they pass, 0 dB at
// the band-pass centre.
TEST(BiquadDesign, WidthFamilyKeepsCookbookLandmarks) {
    struct Landmark {
        FilterType type;
        double f0, width, gain, at, db, tol;  // at < 0: half the sample rate
    };
    const Landmark marks[] = {
        {BandEq, 1000.0, 1.9, 7.5, 1000.0, 7.5, 1e-9}, {LowShelf, 300.0, 1.0, -8.0, 0.0, -8.0, 1e-5},
        {LowShelf, 300.0, 1.0, -8.0, 300.0, -4.0, 1e-5}, {HighShelf, 3000.0, 1.0, 5.0, -1.0, 5.0, 1e-5},
        {HighShelf, 3000.0, 1.0, 5.0, 3000.0, 2.5, 1e-5}, {LowPass, 2000.0, 1.0, 0.0, 0.0, 0.0, 1e-9},
        {BandPass, 2000.0, 1.0, 0.0, 2000.0, 0.0, 1e-5},
    };
    for (unsigned fs : kRates)
        for (const Landmark& m : marks) {
            BiquadEqBuilder b(m.type, m.f0, m.width, m.gain);
            b.init(fs);
            const double at = m.at < 0 ? fs / 2.0 : m.at;
            EXPECT_NEAR(tk::responseDb(b.getBCoeff(), b.getACoeff(), at, fs), m.db, m.tol)
                << "type " << m.type << " at " << at << " fs " << fs;
        }
}

TEST(BiquadDesign, CornerAtOrAboveNyquistPassesThrough) {
    for (FilterType type : kTypes) {
        for (double f : {22050.0, 22049.5, 30000.0}) {
            BiquadEqBuilder b(type, f, 1.0, 6.0);
            b.init(44100);
            EXPECT_EQ(b.getBCoeff()[0], 1.0);
            EXPECT_EQ(b.getBCoeff()[1], 0.0);
            EXPECT_EQ(b.getBCoeff()[2], 0.0);
            EXPECT_EQ(b.getACoeff()[1], 0.0);
            EXPECT_EQ(b.getACoeff()[2], 0.0);
        }
        BiquadEqBuilder justBelow(type);
        justBelow.setFreq(22049.4).setQ(0.7).setGain(6.0);
        justBelow.init(44100);
        EXPECT_NE(justBelow.getACoeff()[1], 0.0) << type;
        BiquadEqBuilder below(type, 20000.0, 1.0, 6.0);
        below.init(44100);
        EXPECT_NE(below.getACoeff()[1], 0.0) << type;
    }
}

// Widths are clamped to [0.0001, 4] octaves for a peaking band and to 1 for
// shelves; the Q designs' shelves ignore Q.
TEST(BiquadDesign, ParametersThatChangeNothing) {
    struct Params {
        FilterType type;
        double freq, width, q;  // a Q design when q > 0
    };
    auto coefficients = [](const Params& p) {
        BiquadEqBuilder b(p.type, p.freq, p.width, p.q > 0 ? -5.0 : 6.0);
        if (p.q > 0) b.setWidth(0.0).setQ(p.q);
        b.init(44100);
        std::vector<double> c;
        for (size_t k = 0; k < 3; ++k) c.insert(c.end(), {b.getBCoeff()[k], b.getACoeff()[k]});
        return c;
    };
    const std::pair<Params, Params> same[] = {
        {{BandEq, 1000, 10.0, 0}, {BandEq, 1000, 4.0, 0}},       {{BandEq, 1000, 0.00001, 0}, {BandEq, 1000, 0.0001, 0}},
        {{LowShelf, 1000, 5.0, 0}, {LowShelf, 1000, 1.0, 0}},    {{HighShelf, 1000, 5.0, 0}, {HighShelf, 1000, 1.0, 0}},
        {{LowShelf, 800, 0.0, 0.3}, {LowShelf, 800, 0.0, 7.0}}, {{HighShelf, 800, 0.0, 0.3}, {HighShelf, 800, 0.0, 7.0}},
    };
    for (const auto& p : same) EXPECT_EQ(coefficients(p.first), coefficients(p.second)) << p.first.type;
    EXPECT_NE(coefficients({BandEq, 1000, 3.0, 0}), coefficients({BandEq, 1000, 4.0, 0}));
}

TEST(BiquadDesign, ZeroGainBandIsTransparent) {
    const Frames in = tk::noise(2000, 0.5, 5);
    BiquadEqBuilder width(BandEq, 1000, 1.5, 0.0);
    BiquadEqBuilder q(BandEq);
    q.setFreq(1000).setQ(1.0).setGain(0.0);
    for (BiquadEqBuilder* b : {&width, &q}) {
        auto f = b->buildFilter(44100);
        EXPECT_TRUE(tk::framesNear(tk::filterInChunks(*f, in, {2000}), in, 1e-14));
    }
}

TEST(BiquadDesign, UnsupportedTypeIsReportedAndSilent) {
    for (int type : {2, 7, -1}) {
        tk::MessageCapture log;
        BiquadEqBuilder b(FilterType(type), 1000.0, 1.0, 6.0);
        auto f = b.buildFilter(44100);
        const QStringList critical = log.messages(QtCriticalMsg);
        ASSERT_EQ(critical.size(), 1);
        EXPECT_EQ(critical[0], QString("Unsupported Biquad Eq mode : %1").arg(type));
        Frames x = tk::noise(100);
        f->filter(x.data(), x.data(), 100);
        EXPECT_EQ(tk::peak(x), 0.0);
    }
    // Neither a width nor a Q: a fresh builder's zero coefficients, silently.
    tk::MessageCapture log;
    BiquadEqBuilder none(BandEq, 1000.0, 0.0, 6.0);
    auto f = none.buildFilter(44100);
    EXPECT_TRUE(log.messages().isEmpty());
    Frames x = tk::noise(100);
    f->filter(x.data(), x.data(), 100);
    EXPECT_EQ(tk::peak(x), 0.0);
}

// Bad parameters never put NaN or infinity into a stream.
TEST(BiquadDesign, BadParametersNeverProduceNonFiniteOutput) {
    tk::MessageCapture quiet;  // unsupported types log; that is tested above
    const double freqs[] = {-500.0, 0.0, 0.5, 1.0, 20.0, 1000.0, 22049.0, 22050.0, 44100.0, 1e12, NAN};
    const double widths[] = {-2.0, 0.0, 1e-12, 0.5, 1.9, 4.0, 60.0, 1e6};
    const double qs[] = {-1.0, 0.0, 1e-300, 0.7, 1e6};
    const double gains[] = {-60.0, -6.0, 0.0, 60.0};
    Frames probe = tk::concat({Frames{Frame(1.0, -1.0)}, tk::noise(600, 1.0, 9)});
    int built = 0;
    for (int type = 0; type <= 7; ++type)
        for (double f : freqs)
            for (double w : widths)
                for (double q : qs)
                    for (double g : gains) {
                        BiquadEqBuilder b(FilterType(type), f, w, g);
                        b.setQ(q);
                        auto filter = b.buildFilter(44100);
                        Frames x = probe;
                        filter->filter(x.data(), x.data(), unsigned(x.size()));
                        for (const Frame& fr : x)
                            ASSERT_TRUE(std::isfinite(fr.l) && std::isfinite(fr.r))
                                << "type " << type << " f " << f << " w " << w << " q " << q << " g " << g;
                        ++built;
                    }
    EXPECT_EQ(built, 8 * 11 * 8 * 5 * 4);
}
