// Statistics files: a full analysis stored and read back exactly, the file name
// rule, the setters' reference counting, relative levels, what a failed read
// leaves behind, the record of the recording, and damaged files refused.
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <functional>
#include <memory>

#include "common/ColouredNoise.h"
#include "common/ExternalAudio.h"
#include "common/MessageCapture.h"
#include "common/TestKit.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundAlgoStats.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundStatReference.h"
#include "tonewright/SoundStatSource.h"
#include "tonewright/Utilities.h"

using tk::Frame;
using tk::Frames;

namespace {
constexpr unsigned kRate = 22050;

// A nearly silent lead-in, pink noise, then 6 dB louder and darker noise, 3 s
// each: the detector flags the lead-in as noise and finds two regions of sound.
Frames recording() {
    const Frames quiet = tk::tiltedNoise(1 << 16, kRate, -3.0, 20.0, 4, {}, 0.0005);
    const Frames loud = tk::tiltedNoise(1 << 16, kRate, -3.0, 20.0, 3, {}, 0.2);
    const Frames louder = tk::tiltedNoise(1 << 16, kRate, -4.5, 20.0, 5, {}, 0.4);
    return tk::concat({quiet, loud, louder});
}

SoundTools::Status analyse(SoundAlgoStatAnalysis& analysis, const Frames& in, unsigned block) {
    tk::ScopedBlockSize size(block);
    tk::MemoryReader reader(in, kRate);
    return analysis.processAll(reader, nullptr);
}

// Every field a band's description holds (type, window, sums, peaks, rate).
void expectSameBand(const SoundAlgoStats& a, const SoundAlgoStats& b) {
    QJsonObject ja, jb;
    a.writeToJSon(ja);
    b.writeToJSon(jb);
    EXPECT_EQ(ja, jb);
}

// Qt marks its binary JSON form deprecated; statistics files use it on purpose.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
QByteArray binary(const QJsonDocument& d) { return d.toBinaryData(); }
QT_WARNING_POP
QByteArray binary(const QJsonObject& o) { return binary(QJsonDocument(o)); }

}  // namespace

// Any block size, and branches run side by side or one after the other, give
// the same analysis, and the same as each analysis run alone: the composite
// aligns the detector and the FFT though they look ahead by different amounts. Band statistics and the step detector in one file, FFT
// statistics in another, and everything in one (what an "analyse" job stores,
// whose relative levels then come from the FFT statistics) read back exactly,
// after the analysis is gone.
TEST(StatFile, FullAnalysisRoundTripsExactlyWhateverTheBlockSize) {
    const Frames in = recording();
    SoundAlgoStatAnalysis::Settings parallel;
    parallel.parallelBranches = true;
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make();
    auto b = SoundRef<SoundAlgoStatAnalysis>::make(parallel);
    ASSERT_EQ(analyse(*analysis, in, 1024), SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
    ASSERT_EQ(analyse(*b, in, 777), SoundTools::Ok);
    ASSERT_EQ(analysis->getBandStats().size(), 10u);
    ASSERT_NE(analysis->getStepDetector(), nullptr);
    ASSERT_NE(analysis->getFFTStats(), nullptr);
    for (size_t i = 0; i < analysis->getBandStats().size(); ++i) {
        expectSameBand(*analysis->getBandStats()[i], *b->getBandStats()[i]);
        // The zeros that flush the lookahead of the detector and the FFT are not counted.
        EXPECT_EQ(analysis->getBandStats()[i]->getTotalCount(), in.size());
    }
    // Half blocks of 8192, two channels.
    EXPECT_EQ(analysis->getFFTStats()->getCount(), 2.0 * double(in.size() / 4096));
    EXPECT_EQ(analysis->getFFTStats()->getRawStats(), b->getFFTStats()->getRawStats());
    EXPECT_EQ(analysis->getStepDetector()->getRegions(), b->getStepDetector()->getRegions());
    EXPECT_EQ(analysis->getLoudness()->getShortTerm(), b->getLoudness()->getShortTerm());
    SoundAlgoStatAnalysis::Settings alone;
    alone.bandStats = alone.fftStats = alone.loudness = false;
    auto detectorAlone = SoundRef<SoundAlgoStatAnalysis>::make(alone);
    alone.stepDetector = false;
    alone.fftStats = true;
    auto fftAlone = SoundRef<SoundAlgoStatAnalysis>::make(alone);
    ASSERT_EQ(analyse(*detectorAlone, in, 1024), SoundTools::Ok);
    ASSERT_EQ(analyse(*fftAlone, in, 1024), SoundTools::Ok);
    EXPECT_EQ(detectorAlone->getStepDetector()->getRegions(), b->getStepDetector()->getRegions());
    EXPECT_EQ(fftAlone->getFFTStats()->getRawStats(), b->getFFTStats()->getRawStats());
    // At 16 kHz the detector's window reaches further than the FFT's half block.
    {
        const Frames low = tk::mixedStereo(5 * 16000 + 77, 16000);
        auto run = [&](SoundAlgoStatAnalysis& a) {
            tk::MemoryReader reader(low, 16000);
            return a.processAll(reader, nullptr);
        };
        auto full = SoundRef<SoundAlgoStatAnalysis>::make(parallel);
        auto f = SoundRef<SoundAlgoStatAnalysis>::make(alone);  // the FFT alone
        alone.fftStats = false;
        alone.stepDetector = true;
        auto d = SoundRef<SoundAlgoStatAnalysis>::make(alone);  // the detector alone
        ASSERT_EQ(run(*full), SoundTools::Ok);
        ASSERT_EQ(run(*d), SoundTools::Ok);
        ASSERT_EQ(run(*f), SoundTools::Ok);
        EXPECT_EQ(full->getStepDetector()->getRegions(), d->getStepDetector()->getRegions());
        EXPECT_EQ(full->getFFTStats()->getRawStats(), f->getFFTStats()->getRawStats());
    }

    SoundStatFile bands;
    bands.setStats(analysis->getSettings().frequencies, analysis->getBandStats(), true);
    bands.setStepDetector(analysis->getStepDetector(), true);
    SoundStatFile fft;
    fft.setStats(analysis->getSettings().frequencies, analysis->getFFTStats(), true);
    SoundStatFile all = analysis->getStatFile();
    EXPECT_EQ(all.getRelativeLevels(), analysis->getFFTStats()->getStats(all.getFrequencies()));
    const std::vector<double> bandLevels = bands.getRelativeLevels();
    const std::vector<double> fftLevels = fft.getRelativeLevels();
    const RMSStepDetector& detector = *analysis->getStepDetector();
    const std::vector<RMSStepDetector::Region> regions = detector.getRegions();
    const std::vector<double> spectrum = analysis->getFFTStats()->getRawStats();
    std::vector<SoundAlgoStats*> original = analysis->getBandStats();
    for (SoundAlgoStats* s : original) s->addRef();
    analysis.reset();

    tk::TempDir dir;
    ASSERT_TRUE(bands.writeJSonFile(dir.path("take1.wav")));
    ASSERT_TRUE(fft.writeJSonFile(dir.path("take1-fft.flac")));
    ASSERT_TRUE(all.writeJSonFile(dir.path("all.mp3")));
    QFile raw(dir.path("take1.ssf"));
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    EXPECT_TRUE(raw.read(4) == QByteArray("qbjs"));  // Qt binary JSON

    SoundStatFile back;
    ASSERT_TRUE(back.readJSonFile(dir.path("take1.ssf")));
    EXPECT_EQ(back.getVersion(), "1");
    EXPECT_EQ(back.getFrequencies(), SoundStatReference::getDefaultFrequencies());
    ASSERT_EQ(back.getBandStats().size(), original.size());
    for (size_t i = 0; i < original.size(); ++i) expectSameBand(*back.getBandStats()[i], *original[i]);
    EXPECT_EQ(back.getRelativeLevels(), bandLevels);
    EXPECT_EQ(back.getSampleRate(), kRate);
    ASSERT_NE(back.getStepDetector(), nullptr);
    EXPECT_EQ(back.getStepDetector()->getRegions(), regions);
    EXPECT_EQ(back.getStepDetector()->getRMSTime(), detector.getRMSTime());
    EXPECT_EQ(back.getStepDetector()->getNoiseThreshold(), detector.getNoiseThreshold());
    EXPECT_EQ(back.getFFTStats(), nullptr);
    // The recording's quiet middle is a noise region between two loud ones.
    int noise = 0, signal = 0;
    for (const RMSStepDetector::Region& r : regions) (r.IsNoise ? noise : signal) += r.SampleNb > 0;
    EXPECT_GE(noise, 1);
    EXPECT_GE(signal, 2);
    for (SoundAlgoStats* s : original) s->releaseRef();

    SoundStatFile fftBack;
    ASSERT_TRUE(fftBack.readJSonFile(dir.path("take1-fft.ssf")));
    ASSERT_NE(fftBack.getFFTStats(), nullptr);
    EXPECT_EQ(fftBack.getFFTStats()->getRawStats(), spectrum);
    EXPECT_EQ(fftBack.getRelativeLevels(), fftLevels);
    EXPECT_EQ(fftBack.getSampleRate(), kRate);
    EXPECT_TRUE(fftBack.getBandStats().empty());
    EXPECT_EQ(fftBack.getStepDetector(), nullptr);

    SoundStatFile allBack;
    ASSERT_TRUE(allBack.readJSonFile(dir.path("all.ssf")));
    EXPECT_EQ(allBack.getBandStats().size(), 10u);
    EXPECT_NE(allBack.getStepDetector(), nullptr);
    EXPECT_EQ(allBack.getRelativeLevels(), all.getRelativeLevels());
}

TEST(StatFile, FileNameTakesTheStatisticsExtension) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"take1.wav", "take1.ssf"},
        {"/music/Live: 1999/take1.flac", "/music/Live: 1999/take1.ssf"},
        {"dir.old/take1", "dir.old/take1.ssf"},
        {"a.b.c.mp3", "a.b.c.ssf"},
        {"x.ssf", "x.ssf"},
        {".hidden", ".hidden.ssf"},
        {"dir/", ""},
        {"", ""},
        {"dir/..", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(SoundStatFile::getStatFileName(c.path), QString(c.expected)) << c.path;
    EXPECT_EQ(SoundStatFile::getExtension(), "ssf");
    SoundStatFile file;
    EXPECT_FALSE(file.writeJSonFile("somewhere/"));
    EXPECT_FALSE(file.readJSonFile(""));
}

TEST(StatFile, SetStatsNeedsOneMoreBandThanFrequencies) {
    SoundStatFile file;
    std::vector<SoundAlgoStats*> four{tk::bandStatsAt(-3, 48000), tk::bandStatsAt(-10, 48000), tk::bandStatsAt(-1, 48000), tk::bandStatsAt(-20, 48000)};
    tk::MessageCapture capture;
    file.setStats({100, 1000, 5000}, std::vector<SoundAlgoStats*>(four.begin(), four.begin() + 3), true);
    EXPECT_TRUE(capture.contains("SoundStatFile::setStats : incoherent input sizes stats=3 freqs=3"));
    EXPECT_TRUE(file.getBandStats().empty());
    EXPECT_TRUE(file.getRelativeLevels().empty());
    file.setStats({100, 1000, 5000}, four, false);  // the file takes over the references
    ASSERT_EQ(file.getBandStats().size(), 4u);
    // Loudest band at 0 dB, the others below it.
    const std::vector<double> levels = file.getRelativeLevels();
    ASSERT_EQ(levels.size(), 4u);
    const double expected[] = {-2.0, -9.0, 0.0, -19.0};
    for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(levels[i], expected[i], 1e-12);
    EXPECT_EQ(file.getSampleRate(), 48000u);
    // Replacing FFT statistics later keeps the bands.
    auto fft = SoundRef<SoundAlgoFFTStats>::make();
    file.setFFTStats(fft.get(), true);
    EXPECT_EQ(fft->refCount(), 2);
    EXPECT_EQ(file.getBandStats().size(), 4u);
    file.setStats({100.0}, fft.get(), true);  // FFT statistics alone: the bands go
    EXPECT_TRUE(file.getBandStats().empty());
    EXPECT_EQ(fft->refCount(), 2);
    file.clear();
    EXPECT_EQ(fft->refCount(), 1);
}

TEST(StatFile, CopiesHoldTheirOwnReferences) {
    auto band = SoundRef<SoundAlgoStats>::adopt(tk::bandStatsAt(-6, 48000));
    auto detector = SoundRef<RMSStepDetector>::make();
    {
        SoundStatFile a;
        a.setStats({}, std::vector<SoundAlgoStats*>{band.get()}, true);
        a.setStepDetector(detector.get(), true);
        EXPECT_EQ(band->refCount(), 2);
        SoundStatFile b(a);
        SoundStatFile c;
        c = b;
        c = c;
        EXPECT_EQ(band->refCount(), 4);
        EXPECT_EQ(detector->refCount(), 4);
        b.clearStepDetector();
        EXPECT_EQ(detector->refCount(), 3);
        a.setStepDetector(detector.get(), true);  // the same detector again
        EXPECT_EQ(detector->refCount(), 3);
        EXPECT_EQ(c.getStepDetector(), detector.get());
    }
    EXPECT_EQ(band->refCount(), 1);
    EXPECT_EQ(detector->refCount(), 1);
}

// A file that cannot be a statistics file leaves the object as it was and says why.
TEST(StatFile, FailedReadsLeaveTheContent) {
    tk::TempDir dir;
    SoundStatFile good;
    good.setStats({500.0}, std::vector<SoundAlgoStats*>{tk::bandStatsAt(-1, 48000), tk::bandStatsAt(-7, 48000)}, false);
    ASSERT_TRUE(good.writeJSonFile(dir.path("good.ssf")));
    QFile f(dir.path("good.ssf"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();

    struct Case {
        const char* name;
        QByteArray bytes;
        const char* cause;
    };
    const Case cases[] = {
        {"empty", QByteArray(), "empty file"},
        {"truncated", bytes.left(bytes.size() / 2), "not a valid binary JSON document"},
        {"text", QJsonDocument(QJsonObject{{"Class", "SoundStatFile"}, {"Version", "1"}}).toJson(),
         "not a valid binary JSON document"},
        {"array", binary(QJsonDocument(QJsonArray{1, 2})), "no JSON object"},
        {"no class", binary(QJsonObject{{"Version", "1"}}), "\"Class\" is not \"SoundStatFile\""},
        {"other class", binary(QJsonObject{{"Class", "SoundAlgoStats"}, {"Version", "1"}}),
         "\"Class\" is not \"SoundStatFile\""},
        {"class not text", binary(QJsonObject{{"Class", 1}, {"Version", "1"}}), "\"Class\" is not"},
        {"no version", binary(QJsonObject{{"Class", "SoundStatFile"}}), "without a \"Version\""},
        {"version number", binary(QJsonObject{{"Class", "SoundStatFile"}, {"Version", 1}}), "without a \"Version\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.path(QString("bad-%1.ssf").arg(c.name).replace(' ', '-'));
        EXPECT_TRUE(tk::writeBytes(path, c.bytes));
        SoundStatFile file = good;
        EXPECT_FALSE(file.readJSonFile(path));
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(path)) << SoundDebuggableClass::getError().toStdString();
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(c.cause))
            << SoundDebuggableClass::getError().toStdString();
        ASSERT_EQ(file.getBandStats().size(), 2u);
        EXPECT_EQ(file.getBandStats()[0], good.getBandStats()[0]);
        EXPECT_EQ(file.getFrequencies(), good.getFrequencies());
    }
    SoundStatFile file = good;
    EXPECT_FALSE(file.readJSonFile(dir.path("missing.ssf")));
    EXPECT_TRUE(SoundDebuggableClass::getError().contains("cannot be opened"));
    EXPECT_EQ(file.getBandStats().size(), 2u);
}

namespace {

// The document with the value at `path` replaced (keys, or "[i]" for the i-th
// element of a list); an undefined value removes it.
QJsonValue edited(const QJsonValue& at, const QStringList& path, const QJsonValue& value) {
    if (path.isEmpty()) return value;
    const QString step = path.front();
    const QStringList rest = path.mid(1);
    if (step.startsWith('[')) {
        QJsonArray a = at.toArray();
        const int i = step.mid(1, step.size() - 2).toInt();
        if (rest.isEmpty() && value.isUndefined())
            a.removeAt(i);
        else
            a[i] = edited(a[i], rest, value);
        return a;
    }
    QJsonObject o = at.toObject();
    if (rest.isEmpty() && value.isUndefined())
        o.remove(step);
    else
        o[step] = edited(o.value(step), rest, value);
    return o;
}

// A recording written to a WAV file, analysed, and its statistics file with the
// record of the recording: the document as the library writes it.
struct DescribedFile {
    tk::TempDir dir;
    QString wav = dir.path("take.wav");
    QJsonObject document;
    DescribedFile() {
        EXPECT_TRUE(tk::writeWav16(wav, recording(), kRate, 2));
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(wav));
        EXPECT_EQ(reader->open(wav), SoundTools::Ok);
        auto analysis = SoundRef<SoundAlgoStatAnalysis>::make();
        EXPECT_EQ(analysis->processAll(*reader, nullptr), SoundTools::Ok);
        SoundStatFile file = analysis->getStatFile();
        SoundStatSource source;
        EXPECT_TRUE(SoundStatSource::measure(wav, source, nullptr));
        file.setSource(source);
        EXPECT_TRUE(file.writeJSonFile(wav));
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        document = QJsonDocument::fromBinaryData(tk::fileBytes(dir.path("take.ssf"))).object();
        QT_WARNING_POP
    }
};

}  // namespace

// The record of the recording reads back, and tells the recording from a copy
// (the same), the same samples 6 dB down, another recording of the same length
// and rate, and the recording cut short.
TEST(StatFile, SourceTellsTheRecordingFromAnother) {
    DescribedFile f;
    SoundStatFile back;
    ASSERT_TRUE(back.readJSonFile(f.wav)) << SoundDebuggableClass::getError().toStdString();
    const SoundStatSource& stored = back.getSource();
    EXPECT_EQ(stored.frames, int64_t(recording().size()));
    EXPECT_EQ(stored.sampleRate, kRate);
    EXPECT_EQ(stored.fileSize, QFileInfo(f.wav).size());
    EXPECT_EQ(stored.fingerprint.size(), 40);

    const Frames in = recording();
    const Frames other = tk::concat({tk::silence(in.size() - (1 << 17)), tk::tiltedNoise(1 << 17, kRate, -3.0, 20.0, 9, {}, 0.2)});
    struct Case {
        const char* name;
        Frames frames;
        const char* difference;  // empty: the same recording
    };
    const Case cases[] = {
        {"copy", in, ""},
        {"6 dB down", tk::scaled(in, 0.5), "samples are not those"},
        {"another", other, "samples are not those"},
        {"cut short", Frames(in.begin(), in.end() - 5), "frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = f.dir.path(QString(c.name).replace(' ', '-') + ".wav");
        ASSERT_TRUE(tk::writeWav16(path, c.frames, kRate, 2));
        SoundStatSource actual;
        ASSERT_TRUE(SoundStatSource::measure(path, actual, nullptr));
        const QString difference = stored.differenceFrom(actual);
        if (*c.difference == 0)
            EXPECT_TRUE(difference.isEmpty()) << difference.toStdString();
        else
            EXPECT_TRUE(difference.contains(c.difference)) << difference.toStdString();
    }
}

// A damaged statistics file is refused whole, naming the file and the field,
// and the object keeps what it held; every value of the document replaced by
// one of another type is refused too.
TEST(StatFile, DamagedFilesAreRefusedNamingTheField) {
    DescribedFile f;
    // The fields are checked as in a file written before files were sealed;
    // a sealed file changed anywhere fails its checksum first.
    const QJsonObject& sealed = f.document;
    ASSERT_TRUE(sealed["Checksum"].isString());
    QJsonObject good = sealed;
    good.remove("Checksum");
    const double leftSqr = good["BandStats"].toArray()[0].toObject()["LeftSqr"].toDouble();
    const QJsonArray regions = good["StepDetector"].toObject()["Regions"].toArray();
    ASSERT_GE(regions.size(), 3);
    const double frames = good["Source"].toObject()["Frames"].toDouble();
    const int bins = good["FFTStats"].toObject()["StatsArray"].toArray().size();
    struct Case {
        const char* name;
        QStringList path;
        QJsonValue value;
        const char* cause;
    };
    const Case cases[] = {
        {"edge not a number", {"BandFreqs", "[2]"}, "x", "\"BandFreqs\"[2] is not a number"},
        {"edges out of order", {"BandFreqs", "[1]"}, 100.0, "\"BandFreqs\"[1] is not above"},
        {"band missing", {"BandStats", "[9]"}, QJsonValue::Undefined, "holds 9 bands for 9 band edges"},
        {"negative count", {"BandStats", "[3]", "TotalCount"}, -5, "\"BandStats\"[3] \"TotalCount\" is -5"},
        {"rate 0", {"BandStats", "[0]", "SampleRate"}, 0, "\"BandStats\"[0] \"SampleRate\" is 0"},
        {"band of another rate", {"BandStats", "[2]", "SampleRate"}, 44100, "(44100 Hz) disagrees"},
        {"squares past the peak", {"BandStats", "[4]", "LeftSqr"}, 1e9, "\"LeftSqr\" exceeds"},
        {"band of another class", {"BandStats", "[1]", "Class"}, "SoundAlgoFFTStats", "\"Class\" is not"},
        {"detector a list", {"StepDetector"}, QJsonArray(), "\"StepDetector\" is not an object"},
        {"region length a text", {"StepDetector", "Regions", "[1]", "SampleNb"}, "many", "\"SampleNb\" is not a number"},
        {"regions overlap", {"StepDetector", "Regions", "[2]", "BeginSample"}, 0, "[2] \"BeginSample\" lies inside"},
        {"noise flag a number", {"StepDetector", "Regions", "[0]", "IsNoise"}, 1, "\"IsNoise\" is not true or false"},
        {"region past the end", {"StepDetector", "Regions", QString("[%1]").arg(regions.size() - 1), "BeginSample"},
         frames + 100, "past the end of the recording"},
        {"window negative", {"StepDetector", "RMSTime"}, -1, "\"RMSTime\" is -1"},
        {"output mode unknown", {"StepDetector", "OutputMode"}, 7, "\"OutputMode\" is 7"},
        {"spectrum short", {"FFTStats", "StatsArray", QString("[%1]").arg(bins - 1)}, QJsonValue::Undefined,
         "\"StatsArray\" holds"},
        {"transform size", {"FFTStats", "Size"}, 1000, "not a power of two"},
        {"spectrum negative", {"FFTStats", "StatsArray", "[5]"}, -1.0, "\"StatsArray\"[5] is not a level"},
        {"loudness length", {"Loudness", "FrameCount"}, frames + 1, "disagrees"},
        {"short-term a text", {"Loudness", "ShortTerm", "[0]"}, "loud", "\"ShortTerm\"[0] is not a loudness"},
        {"fingerprint", {"Source", "Fingerprint"}, "xyz", "\"Fingerprint\" is not 40 hexadecimal digits"},
        {"source length", {"Source", "Frames"}, frames * 2, "disagrees"},
        {"source a text", {"Source"}, "take.wav", "\"Source\" is not an object"},
        {"source empty", {"Source"}, QJsonObject(), "\"Source\" is empty"},
    };
    const Case sealedCases[] = {
        {"one value nudged", {"BandStats", "[0]", "LeftSqr"}, leftSqr * (1 + 1e-12), "does not match its \"Checksum\""},
        {"checksum a number", {"Checksum"}, 12, "\"Checksum\" is not a text"},
    };
    SoundStatFile before;
    before.setStats({500.0}, std::vector<SoundAlgoStats*>{tk::bandStatsAt(-1, 48000), tk::bandStatsAt(-7, 48000)}, false);
    const QString path = f.dir.path("bad.ssf");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(tk::writeBytes(path, binary(edited(good, c.path, c.value).toObject())));
        SoundStatFile file = before;
        EXPECT_FALSE(file.readJSonFile(path));
        const QString error = SoundDebuggableClass::getError();
        EXPECT_TRUE(error.contains(path) && error.contains(c.cause)) << error.toStdString();
        EXPECT_EQ(file.getBandStats().size(), 2u);
        EXPECT_EQ(file.getBandStats()[0], before.getBandStats()[0]);
    }
    for (const Case& c : sealedCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(tk::writeBytes(path, binary(edited(sealed, c.path, c.value).toObject())));
        SoundStatFile file;
        EXPECT_FALSE(file.readJSonFile(path));
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(c.cause)) << SoundDebuggableClass::getError().toStdString();
    }

    // Each value swapped for a text (or a text for a number), down to the first
    // element of every list: refused, save the names algorithms may carry.
    int swapped = 0;
    std::function<void(const QJsonValue&, QStringList)> sweep = [&](const QJsonValue& v, QStringList at) {
        if (v.isObject()) {
            const QJsonObject o = v.toObject();
            for (auto it = o.begin(); it != o.end(); ++it) sweep(it.value(), at + QStringList{it.key()});
            return;
        }
        if (v.isArray()) {
            if (!v.toArray().isEmpty()) sweep(v.toArray()[0], at + QStringList{"[0]"});
            return;
        }
        if (at.back() == "Id" || at.back() == "Version") return;
        const QJsonValue other = v.isString() ? QJsonValue(1.5) : QJsonValue("1");
        ASSERT_TRUE(tk::writeBytes(path, binary(edited(good, at, other).toObject())));
        SoundStatFile file;
        EXPECT_FALSE(file.readJSonFile(path)) << at.join(' ').toStdString();
        ++swapped;
    };
    sweep(good, {});
    EXPECT_GT(swapped, 40);
    // The document itself is sound, sealed or not.
    for (const QJsonObject& document : {good, sealed}) {
        ASSERT_TRUE(tk::writeBytes(path, binary(document)));
        SoundStatFile file;
        EXPECT_TRUE(file.readJSonFile(path)) << SoundDebuggableClass::getError().toStdString();
    }
}
