#include <QtGlobal>
#include <cmath>

#include "common/TestKit.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundTools.h"

using SoundTools::StereoFrame;
using F = StereoFrame<double>;

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
