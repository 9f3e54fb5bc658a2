#include <cmath>

#include "common/MessageCapture.h"
#include "common/TestKit.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundTools.h"

// get_fco keeps (k + 0.5) steps of 15/4096 octave, k the whole steps the asked
// band holds; get_minmax gives back edges of exactly that width around the centre.
TEST(BandEdges, FcoQuantisesWidthAndMinMaxInvertsIt) {
    const struct {
        double fmin, fmax;
        int k;
    } cases[] = {
        {100, 200, 273},  // 2^(273*15/4096) <= 2 < 2^(274*15/4096)
        {200, 100, 0},    // fmax <= fmin
        {100, 100, 0},
        {1, 40000, 4095},  // ratio beyond 2^15
        {1000, 8000, 819},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.fmin << "-" << c.fmax);
        double fco = 0, width = 0, lo = 0, hi = 0;
        SoundTools::get_fco(c.fmin, c.fmax, fco, width);
        const double expectedWidth = (c.k + 0.5) * 15.0 / 4096.0;
        EXPECT_DOUBLE_EQ(width, expectedWidth);
        EXPECT_DOUBLE_EQ(fco, c.fmin * std::pow(2.0, expectedWidth / 2));
        SoundTools::get_minmax(fco, width, lo, hi);
        EXPECT_NEAR(std::log2(hi / lo), width, 1e-12);
        EXPECT_NEAR(std::sqrt(lo * hi), fco, 1e-9 * fco);
    }
}

// The error text is "function : message", logged as a warning; an empty message
// changes nothing and text that is not valid becomes a readable one.
TEST(Diagnostics, SetErrorComposesAndLogs) {
    tk::MessageCapture log;
    SoundDebuggableClass::setError("first", "Some::function");
    EXPECT_EQ(SoundDebuggableClass::getError(), "Some::function : first");
    EXPECT_EQ(log.messages(QtWarningMsg), QStringList{"Some::function : first"});
    log.clear();
    SoundDebuggableClass::setError("");
    EXPECT_EQ(SoundDebuggableClass::getError(), "Some::function : first");
    EXPECT_TRUE(log.messages(QtWarningMsg).isEmpty());
    SoundDebuggableClass::setError("alone");
    EXPECT_EQ(SoundDebuggableClass::getError(), "alone");
    SoundDebuggableClass::setError(QString(QChar(0)) + "garbage", "f");
    EXPECT_EQ(SoundDebuggableClass::getError(), "f : Unknown system error.");
}
