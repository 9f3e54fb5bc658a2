// eq: the player's equaliser offline, against a model of its peaking bands
// written out independently (bands, presets, cookbook coefficients, the plain
// recursion), read back through ffmpeg.
#include "CliKit.h"
#include "common/EqualiserKit.h"
#include "common/ExternalAudio.h"

using clitest::tool;

namespace {
std::vector<tk::EqBand> preset(const std::string& name) {
    for (const tk::EqPreset& p : tk::defaultEqPresets())
        if (p.name == name) return tk::withLevels(tk::defaultEqBands(), p.levels);
    return {};
}
}  // namespace

// Presets by name and number, bands by frequency and number, the bass boost and
// its gain and the output gain all reach the cascade the output matches.
TEST(CliEq, OutputMatchesTheBandModel) {
    if (!tk::haveTool("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
    tk::TempDir dir;
    const unsigned rate = 44100;
    // Noise 20 dB below full scale: every band is exercised and no peak comes
    // near the limiter's ceiling.
    const QString input = dir.path("noise.wav"), out = dir.path("out.wav");
    ASSERT_TRUE(tk::writeWav16(input, tk::track(rate * 2, rate, -20.0, 7), rate, 2));
    tk::Frames source, got;
    ASSERT_TRUE(tk::decodeWithFfmpeg(input, &source));
    std::vector<tk::EqBand> folk = preset("Folk"), rockBoost = preset("Rock");
    ASSERT_EQ(folk.size(), 9u);
    folk[6].gain = -2.0;
    rockBoost.push_back(tk::bassBoostBand());
    std::vector<tk::EqBand> fifthAndBoost = {tk::defaultEqBands()[4], tk::bassBoostBand()};
    fifthAndBoost[0].gain = 6.0;
    fifthAndBoost[1].gain = 4.0;
    // bands: the cascade the output must match.
    const std::tuple<QStringList, std::vector<tk::EqBand>, double> cases[] = {
        {{"--preset", "rock", "--bass-boost"}, rockBoost, 0.0},
        {{"--preset", "7", "--band", "4k=-2"}, folk, 0.0},
        {{"--bass-boost"}, {tk::bassBoostBand()}, 0.0},
        {{"--band", "5=6", "--bass-boost-gain", "4", "--gain", "-3"}, fifthAndBoost, -3.0},
    };
    for (const auto& [args, bands, gainDb] : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const QJsonObject j =
            clitest::json(QStringList{"eq", "-y", "--json", "-o", out} + args + QStringList{input});
        EXPECT_EQ(j["equaliser"]["bands"].toArray().size(), 9);
        ASSERT_TRUE(tk::decodeWithFfmpeg(out, &got));
        // Bands of 0 dB pass the sound unchanged and are left out of the run.
        std::vector<tk::EqBand> active;
        for (const tk::EqBand& b : bands)
            if (b.gain != 0.0) active.push_back(b);
        // One step of 16 bits for the rounding of each of the two files.
        const double gain = std::pow(10.0, gainDb / 20.0);
        EXPECT_LT(tk::maxAbsDiff(got, tk::scaled(tk::eqCascade(source, active, rate), gain)), 2.5 / 32768.0);
    }
}

// The presets listed are the player's, in order, with their levels; the response picture has
// the size asked, and an existing one stays without -y.
TEST(CliEq, PresetsAndPicture) {
    const QJsonObject list = clitest::json({"eq", "--list-presets", "--json"});
    const QJsonArray presets = list["presets"].toArray();
    const std::vector<tk::EqPreset> model = tk::defaultEqPresets();
    ASSERT_EQ(presets.size(), int(model.size()));
    for (size_t i = 0; i < model.size(); ++i) {
        EXPECT_EQ(presets[int(i)]["name"].toString().toStdString(), model[i].name);
        EXPECT_EQ(clitest::numbers(presets[int(i)]["levels"]), model[i].levels) << model[i].name;
    }
    EXPECT_EQ(list["bassBoost"]["frequency"].toDouble(), tk::bassBoostBand().freq);
    EXPECT_EQ(list["bassBoost"]["gain"].toDouble(), tk::bassBoostBand().gain);

    tk::TempDir dir;
    const QString png = dir.path("eq.png");
    ASSERT_EQ(tool({"eq", "--preset", "Loudness", "--bass-boost", "--plot", png, "--plot-size", "800x400"}).exitCode, 0);
    EXPECT_EQ(clitest::pngSize(png), QSize(800, 400));
    EXPECT_TRUE(clitest::exitsWith(tool({"eq", "--band", "1k=3", "--plot", png}), 2, {png}));
    EXPECT_EQ(clitest::pngSize(png), QSize(800, 400));
}
