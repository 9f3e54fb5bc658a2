#include <QtGlobal>
#include <cmath>

#include "common/TestKit.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundTools.h"

using SoundTools::StereoFrame;
using F = StereoFrame<double>;

TEST(StereoFrame, ElementWiseArithmeticAndComparisons) {
    auto is = [](const F& f, double l, double r) { return f.l == l && f.r == r; };
    const F a(1, 5), b(2, 3);
    EXPECT_TRUE(a > b);  // right channel larger
    EXPECT_TRUE(a < b);  // left channel smaller: both hold at once
    EXPECT_FALSE(b > F(2, 3));
    EXPECT_TRUE(a > 4.0);
    EXPECT_FALSE(a > 5.0);
    EXPECT_TRUE(is(a + b, 3, 8));
    EXPECT_TRUE(is(a - b, -1, 2));
    EXPECT_TRUE(is(a * b, 2, 15));
    F c = a;
    c += b;
    c -= F(1, 1);
    c *= F(2, 0.5);
    EXPECT_TRUE(is(c, 4, 3.5));

    const F neg(-3, 2);
    EXPECT_EQ(neg.absmax(), 3);
    EXPECT_EQ(neg.getmax(), 2);
    EXPECT_EQ(neg.getmin(), -3);
    EXPECT_EQ(neg.toMono(), -0.5);
    EXPECT_TRUE(is(neg.sqr(), 9, 4));
    EXPECT_TRUE(is(F(9, 16).sqroot(), 3, 4));
    F m(0, 0);
    m[1] = 7;
    EXPECT_EQ((*m)[1], 7);  // pointer view: left then right
    StereoFrame<short> s(-32768, 32767);
    s[0] = 12;
    EXPECT_EQ(s[0], 12);
    EXPECT_EQ(s[1], 32767);
}

TEST(BandEdges, FcoQuantisesWidthToTableSteps) {
    struct Case {
        double fmin, fmax;
        int k;
    } cases[] = {
        {100, 200, 273},        // 2^(273*15/4096) <= 2 < 2^(274*15/4096)
        {200, 100, 0},          // fmax <= fmin
        {100, 100, 0},
        {1, 40000, 4095},       // ratio beyond 2^15
        {1000, 1000 * std::pow(2.0, 3.0), 819},
    };
    for (const auto& c : cases) {
        double fco = 0, width = 0;
        SoundTools::get_fco(c.fmin, c.fmax, fco, width);
        const double expectedWidth = (c.k + 0.5) * 15.0 / 4096.0;
        EXPECT_DOUBLE_EQ(width, expectedWidth) << c.fmin << "-" << c.fmax;
        EXPECT_DOUBLE_EQ(fco, c.fmin * std::pow(2.0, expectedWidth / 2)) << c.fmin << "-" << c.fmax;
    }
}

TEST(BandEdges, MinMaxInvertsFco) {
    double fco = 0, width = 0, lo = 0, hi = 0;
    SoundTools::get_fco(300, 1200, fco, width);
    SoundTools::get_minmax(fco, width, lo, hi);
    EXPECT_NEAR(std::log2(hi / lo), width, 1e-12);
    EXPECT_NEAR(std::sqrt(lo * hi), fco, 1e-9);
    // The quantised band differs from the asked one by less than one table step.
    EXPECT_NEAR(std::log2(hi / lo), 2.0, 15.0 / 4096.0);
}

namespace {
QString gLastWarning;
void captureWarnings(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtWarningMsg) gLastWarning = msg;
}
}  // namespace

TEST(Diagnostics, SetErrorComposesAndLogs) {
    QtMessageHandler old = qInstallMessageHandler(captureWarnings);
    gLastWarning.clear();
    SoundDebuggableClass::setError("first", "Some::function");
    EXPECT_EQ(SoundDebuggableClass::getError(), "Some::function : first");
    EXPECT_EQ(gLastWarning, "Some::function : first");

    gLastWarning.clear();
    SoundDebuggableClass::setError("");  // empty: nothing changes, nothing logged
    EXPECT_EQ(SoundDebuggableClass::getError(), "Some::function : first");
    EXPECT_TRUE(gLastWarning.isEmpty());

    SoundDebuggableClass::setError("alone");
    EXPECT_EQ(SoundDebuggableClass::getError(), "alone");

    SoundDebuggableClass::setError(QString(QChar(0)) + "garbage", "f");
    EXPECT_EQ(SoundDebuggableClass::getError(), "f : Unknown system error.");
    qInstallMessageHandler(old);
}
