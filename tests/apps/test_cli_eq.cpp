// eq: the player's equaliser offline, against a model of its peaking bands
// written out independently (bands, presets, cookbook coefficients, the plain
// recursion), read back through ffmpeg.
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <cmath>

#include "CliKit.h"
#include "common/EqualiserKit.h"
#include "common/ExternalAudio.h"
#include "common/Recordings.h"

using clitest::tool;

namespace {

struct EqCase {
    const char* what;
    QStringList args;
    std::vector<tk::EqBand> bands;  // the cascade the output must match
    double gainDb;
};

std::vector<tk::EqBand> preset(const std::string& name) {
    for (const tk::EqPreset& p : tk::defaultEqPresets())
        if (p.name == name) return tk::withLevels(tk::defaultEqBands(), p.levels);
    return {};
}

}  // namespace

TEST(CliEq, OutputMatchesTheBandModel) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const unsigned rate = 44100;
    // Noise 20 dB below full scale: every band is exercised and no peak comes
    // near the limiter's ceiling.
    const tk::Frames noise = tk::track(rate * 2, rate, -20.0, 7);
    const QString input = dir.path("noise.wav");
    ASSERT_TRUE(tk::writeWav16(input, noise, rate, 2));
    tk::Frames source;
    ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));

    std::vector<tk::EqBand> folk = preset("Folk");
    ASSERT_EQ(folk.size(), 9u);
    folk[6].gain = -2.0;
    tk::EqBand boost = tk::bassBoostBand();
    tk::EqBand boost4 = boost;
    boost4.gain = 4.0;
    tk::EqBand k1 = tk::defaultEqBands()[4];
    k1.gain = 6.0;
    std::vector<tk::EqBand> rockBoost = preset("Rock");
    rockBoost.push_back(boost);
    const EqCase cases[] = {
        {"preset by name", {"--preset", "rock", "--bass-boost"}, rockBoost, 0.0},
        {"preset by number, one band changed", {"--preset", "7", "--band", "4k=-2"}, folk, 0.0},
        {"bass boost alone", {"--bass-boost"}, {boost}, 0.0},
        {"band by number, boost gain, output gain", {"--band", "5=6", "--bass-boost-gain", "4", "--gain", "-3"},
         {k1, boost4}, -3.0},
    };
    for (const EqCase& c : cases) {
        SCOPED_TRACE(c.what);
        const QString out = dir.path("out.wav");
        const clitest::Run r = tool(QStringList{"eq", "-y", "--json", "-o", out} + c.args + QStringList{input});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        tk::Frames got;
        ASSERT_TRUE(tk::decodeWithFfmpeg(out, &got));
        ASSERT_EQ(got.size(), source.size());
        // Bands of 0 dB pass the sound unchanged and are left out of the run.
        std::vector<tk::EqBand> active;
        for (const tk::EqBand& b : c.bands)
            if (b.gain != 0.0) active.push_back(b);
        const tk::Frames expected = tk::eqCascade(source, active, rate);
        const double g = std::pow(10.0, c.gainDb / 20.0);
        double worst = 0;
        for (size_t i = 0; i < got.size(); ++i)
            worst = std::max({worst, std::fabs(got[i].l - g * expected[i].l), std::fabs(got[i].r - g * expected[i].r)});
        // One step of 16 bits for the rounding of each of the two files.
        EXPECT_LT(worst, 2.5 / 32768.0);
        EXPECT_EQ(r.json().object()["equaliser"].toObject()["bands"].toArray().size(), 9);
    }
}

// The presets listed are the player's, in order, with their levels; the
// response picture has the size asked, with or without inputs.
TEST(CliEq, PresetsAndPicture) {
    const clitest::Run list = tool({"eq", "--list-presets", "--json"});
    ASSERT_EQ(list.exitCode, 0) << list.err.toStdString();
    const QJsonArray presets = list.json().object()["presets"].toArray();
    const std::vector<tk::EqPreset> model = tk::defaultEqPresets();
    ASSERT_EQ(presets.size(), int(model.size()));
    for (size_t i = 0; i < model.size(); ++i) {
        const QJsonObject p = presets[int(i)].toObject();
        EXPECT_EQ(p["name"].toString().toStdString(), model[i].name);
        const QJsonArray levels = p["levels"].toArray();
        ASSERT_EQ(levels.size(), int(model[i].levels.size()));
        for (int k = 0; k < levels.size(); ++k) EXPECT_EQ(levels[k].toDouble(), model[i].levels[size_t(k)]);
    }
    const QJsonObject boost = list.json().object()["bassBoost"].toObject();
    EXPECT_EQ(boost["frequency"].toDouble(), tk::bassBoostBand().freq);
    EXPECT_EQ(boost["gain"].toDouble(), tk::bassBoostBand().gain);

    tk::TempDir dir;
    const QString png = dir.path("eq.png");
    const clitest::Run r = tool({"eq", "--preset", "Loudness", "--bass-boost", "--plot", png, "--plot-size", "800x400"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    int w = 0, h = 0;
    ASSERT_TRUE(clitest::pngSize(png, &w, &h));
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 400);
    // An existing picture stays without -y.
    EXPECT_EQ(tool({"eq", "--band", "1k=3", "--plot", png}).exitCode, 2);
    ASSERT_TRUE(clitest::pngSize(png, &w, &h));
    EXPECT_EQ(w, 800);
}
