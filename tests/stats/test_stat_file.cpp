// Statistics files: the analysis they store, the same whatever the blocks and
// branches, read back exactly; the file name rule, the setters' reference
// counting and relative levels; the record of the recording; the JSON file
// helpers; and one table of damaged files, loaded as far as they go and
// refused by the check.
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <memory>

#include "common/ColouredNoise.h"
#include "common/ExternalAudio.h"
#include "common/MessageCapture.h"
#include "common/TestKit.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoFFTStats.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundAlgoStatAnalysis.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/SoundStatFileCheck.h"
#include "tonewright/SoundStatReference.h"
#include "tonewright/SoundStatSource.h"
#include "tonewright/Utilities.h"

using tk::Frames;
using Settings = SoundAlgoStatAnalysis::Settings;

namespace {
constexpr unsigned kRate = 22050;

// A nearly silent lead-in, pink noise, then 6 dB louder and darker noise, 3 s
// each: the detector flags the lead-in as noise and finds two regions of sound.
Frames recording() {
    return tk::concat({tk::tiltedNoise(1 << 16, kRate, -3.0, 20.0, 4, {}, 0.0005),
                       tk::tiltedNoise(1 << 16, kRate, -3.0, 20.0, 3, {}, 0.2),
                       tk::tiltedNoise(1 << 16, kRate, -4.5, 20.0, 5, {}, 0.4)});
}

SoundRef<SoundAlgoStatAnalysis> analysed(const Settings& settings, const Frames& in, unsigned rate, unsigned block) {
    auto analysis = SoundRef<SoundAlgoStatAnalysis>::make(settings);
    tk::ScopedBlockSize size(block);
    tk::MemoryReader reader(in, rate);
    EXPECT_EQ(analysis->processAll(reader, nullptr), SoundTools::Ok) << SoundDebuggableClass::getError().toStdString();
    return analysis;
}

// The analysis with only the step detector, or only the FFT statistics.
Settings only(bool detector) {
    Settings s;
    s.bandStats = s.loudness = false;
    s.stepDetector = detector;
    s.fftStats = !detector;
    return s;
}

// Qt marks its binary JSON form deprecated; statistics files use it on purpose.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
QByteArray binary(const QJsonValue& v) {
    return v.isArray() ? QJsonDocument(v.toArray()).toBinaryData() : QJsonDocument(v.toObject()).toBinaryData();
}
QJsonObject documentOf(const QString& path) { return QJsonDocument::fromBinaryData(tk::fileBytes(path)).object(); }
QT_WARNING_POP

// The document a statistics file is stored as, beside `path` in `dir`.
QJsonObject written(const SoundStatFile& file, const tk::TempDir& dir, const QString& name) {
    EXPECT_TRUE(SoundStatFile(file).writeJSonFile(dir.path(name)));
    return documentOf(SoundStatFile::getStatFileName(dir.path(name)));
}

}  // namespace

// The JSON file helpers: text and binary, and the messages of failed reads and
// writes (damaged documents: the table below and the fuzz corpus).
TEST(JsonFiles, TextAndBinaryRoundTrip) {
    tk::TempDir dir;
    // Every kind of value and each way the binary form stores it: integers
    // inline or not, Latin-1 or UTF-16 texts and keys, empty containers.
    const QJsonDocument doc(QJsonObject{{"a", 0.1},
                                        {"b", QJsonArray{1e-300, -2.5, 3, -(1 << 26), 1 << 27, true, false, QJsonValue()}},
                                        {"c", "t\u00e9xt"},
                                        {"\u03c0", QJsonObject{{"\u03c9", "\u00b5\u03bc"}, {"e", QJsonObject()}, {"", QJsonArray()}}}});
    ASSERT_TRUE(Utilities::writeJSONToFile(doc, dir.path("x.json"), false));
    ASSERT_TRUE(Utilities::writeJSONToFile(doc, dir.path("x.bin"), true));
    EXPECT_TRUE(tk::fileBytes(dir.path("x.json")).contains("\n    \"a\""));  // indented text
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.json"), true), doc);
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.bin"), true), doc);
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.bin"), true), QJsonDocument(documentOf(dir.path("x.bin"))));  // as Qt
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("x.bin"), false).isNull());  // text only
    // Rewriting replaces the whole file.
    ASSERT_TRUE(Utilities::writeJSONToFile(QJsonDocument(QJsonArray{1}), dir.path("x.json"), false));
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.json"), false), QJsonDocument(QJsonArray{1}));

    tk::MessageCapture capture;
    const QString unwritable = dir.path("no/such/folder/x.ssf");
    EXPECT_FALSE(Utilities::writeJSONToFile(doc, unwritable, true));
    EXPECT_TRUE(capture.contains("JSON write error ; unable to open file " + unwritable));
    capture.clear();
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("none.json"), true).isNull());
    EXPECT_TRUE(capture.messages().isEmpty());
    EXPECT_TRUE(tk::writeBytes(dir.path("bad.json"), "{\"a\": [1, 2,, 3]}"));
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("bad.json"), true).isNull());
    ASSERT_EQ(capture.messages(QtCriticalMsg).size(), 1);
    EXPECT_TRUE(capture.messages(QtCriticalMsg)[0].startsWith("JSON read error offset 13 : "))
        << capture.messages(QtCriticalMsg)[0].toStdString();
    // A folder is not a document.
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.root(), true).isNull());

    SoundStatFile stats;
    EXPECT_FALSE(stats.writeJSonFile(unwritable));
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(dir.path("no/such/folder/x.ssf")));
}

// Any block size, and branches run side by side or one after the other, give
// the same analysis (and what it stores reads back exactly), and the same as each analysis run alone: the composite
// aligns the detector and the FFT though they look ahead by different amounts
// (at 16 kHz the detector's window reaches further than the FFT's half block;
// there digital silence leads in, and a steady tone follows).
TEST(StatFile, AnalysisIsTheSameWhateverTheBlocksAndBranches) {
    Settings parallel;
    parallel.parallelBranches = true;
    for (unsigned rate : {kRate, 16000u}) {
        SCOPED_TRACE(rate);
        tk::TempDir dir;
        const Frames in = rate == kRate ? recording()
                                        : tk::concat({tk::silence(16000), tk::mixedStereo(5 * 16000 + 77, 16000),
                                                      tk::sine(2 * 16000, 16000, 1000, 0.25)});
        auto serial = analysed(Settings(), in, rate, 1024);
        const auto side = analysed(parallel, in, rate, 777);
        const auto detector = analysed(only(true), in, rate, 1024), fftOnly = analysed(only(false), in, rate, 1024);
        EXPECT_EQ(written(serial->getStatFile(), dir, "serial"), written(side->getStatFile(), dir, "side"));
        EXPECT_EQ(detector->getStatFile().getStepDetector()->getRegions(), side->getStepDetector()->getRegions());
        EXPECT_EQ(fftOnly->getStatFile().getFFTStats()->getRawStats(), side->getFFTStats()->getRawStats());
        // The zeros that flush the look-ahead of the detector and the FFT are
        // not counted; the FFT counts every half block of 8192 the stream
        // reaches into, on two channels.
        ASSERT_EQ(serial->getBandStats().size(), 10u);
        for (const SoundAlgoStats* band : serial->getBandStats()) EXPECT_EQ(band->getTotalCount(), in.size());
        EXPECT_EQ(serial->getFFTStats()->getCount(), 2.0 * std::ceil(double(in.size()) / 4096));
        if (rate != kRate) continue;
        // Band statistics and the step detector in one file, FFT statistics in
        // another, and everything in one (what an "analyse" job stores, whose
        // relative levels then come from the FFT statistics) read back exactly
        // after the analysis is gone: written again, they are the same documents.
        const std::vector<double> freqs = serial->getSettings().frequencies;
        SoundStatFile bands, fft, all = serial->getStatFile();
        bands.setStats(freqs, serial->getBandStats(), true);
        bands.setStepDetector(serial->getStepDetector(), true);
        fft.setStats(freqs, serial->getFFTStats(), true);
        EXPECT_EQ(all.getRelativeLevels(), serial->getFFTStats()->getStats(freqs));
        const double integrated = serial->getLoudness()->getIntegrated();
        serial.reset();
        for (const SoundStatFile* file : {&bands, &fft, &all}) {
            const QJsonObject document = written(*file, dir, "take.wav");
            EXPECT_TRUE(tk::fileBytes(dir.path("take.ssf")).startsWith("qbjs"));  // Qt binary JSON
            SoundStatFile back;
            ASSERT_TRUE(back.readJSonFile(dir.path("take.wav")));
            EXPECT_EQ(written(back, dir, "again.wav"), document);
            EXPECT_EQ(back.getRelativeLevels(), file->getRelativeLevels());
            EXPECT_EQ(back.getSampleRate(), kRate);
            EXPECT_EQ(back.getBandStats().empty(), file == &fft);
            EXPECT_EQ(back.getFFTStats() == nullptr, file == &bands);
            EXPECT_EQ(back.getStepDetector() == nullptr, file == &fft);
            EXPECT_EQ(back.getLoudness() != nullptr, file == &all);
            if (file == &all) { EXPECT_EQ(back.getLoudness()->getIntegrated(), integrated); }
        }
        EXPECT_EQ(bands.getFrequencies(), SoundStatReference::getDefaultFrequencies());
    }
}

TEST(StatFile, FileNameTakesTheStatisticsExtension) {
    const char* const cases[][2] = {
        {"take1.wav", "take1.ssf"}, {"/music/Live: 1999/take1.flac", "/music/Live: 1999/take1.ssf"},
        {"dir.old/take1", "dir.old/take1.ssf"}, {"a.b.c.mp3", "a.b.c.ssf"}, {"x.ssf", "x.ssf"},
        {".hidden", ".hidden.ssf"}, {"dir/", ""}, {"", ""}, {"dir/..", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(SoundStatFile::getStatFileName(c[0]), QString(c[1])) << c[0];
    EXPECT_EQ(SoundStatFile::getExtension(), "ssf");
    EXPECT_FALSE(SoundStatFile().writeJSonFile("somewhere/"));
    EXPECT_FALSE(SoundStatFile().readJSonFile(""));
}

// n band edges take n + 1 bands (their levels relative to the loudest: the
// reference tests); copies, setters and clearing hold and release their own references.
TEST(StatFile, BandsLevelsAndReferences) {
    SoundStatFile file;
    std::vector<SoundAlgoStats*> four{tk::bandStatsAt(-3, 48000), tk::bandStatsAt(-10, 48000), tk::bandStatsAt(-1, 48000),
                                      tk::bandStatsAt(-20, 48000)};
    tk::MessageCapture capture;
    file.setStats({100, 1000, 5000}, std::vector<SoundAlgoStats*>(four.begin(), four.begin() + 3), true);
    EXPECT_TRUE(capture.contains("SoundStatFile::setStats : incoherent input sizes stats=3 freqs=3"));
    EXPECT_TRUE(file.getBandStats().empty() && file.getRelativeLevels().empty());
    file.setStats({100, 1000, 5000}, four, false);  // the file takes over the references
    EXPECT_EQ(file.getSampleRate(), 48000u);

    auto fft = SoundRef<SoundAlgoFFTStats>::make();
    auto detector = SoundRef<RMSStepDetector>::make();
    file.setFFTStats(fft.get(), true);  // replacing FFT statistics keeps the bands
    file.setStepDetector(detector.get(), true);
    EXPECT_EQ(file.getBandStats().size(), 4u);
    {
        SoundStatFile b(file), c;
        c = b;
        c = c;
        EXPECT_EQ(four[0]->refCount(), 3);
        EXPECT_EQ(detector->refCount(), 4);
        b.clearStepDetector();
        EXPECT_EQ(detector->refCount(), 3);
        file.setStepDetector(detector.get(), true);  // the same detector again
        EXPECT_EQ(detector->refCount(), 3);
    }
    EXPECT_EQ(detector->refCount(), 2);
    file.setStats({100.0}, fft.get(), true);  // FFT statistics alone: the bands go
    EXPECT_TRUE(file.getBandStats().empty());
    EXPECT_EQ(fft->refCount(), 2);
    file.clear();
    EXPECT_EQ(fft->refCount(), 1);
    EXPECT_EQ(detector->refCount(), 1);
}

namespace {

// The document with the value at `path` replaced (keys, or "[i]" for the i-th
// element of a list); an undefined value removes it.
QJsonValue edited(const QJsonValue& at, const QStringList& path, const QJsonValue& value) {
    if (path.isEmpty()) return value;
    const QString step = path.front();
    const bool remove = path.size() == 1 && value.isUndefined();
    if (step.startsWith('[')) {
        QJsonArray a = at.toArray();
        const int i = step.mid(1, step.size() - 2).toInt();
        remove ? a.removeAt(i) : void(a[i] = edited(a[i], path.mid(1), value));
        return a;
    }
    QJsonObject o = at.toObject();
    remove ? void(o.remove(step)) : void(o[step] = edited(o.value(step), path.mid(1), value));
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
        document = written(file, dir, "take.wav");
    }
};

}  // namespace

// The record of the recording reads back, and tells the recording from a copy
// (the same), the same samples 6 dB down, and the recording cut short.
TEST(StatFile, SourceTellsTheRecordingFromAnother) {
    DescribedFile f;
    SoundStatFile back;
    ASSERT_TRUE(back.readJSonFile(f.wav)) << SoundDebuggableClass::getError().toStdString();
    const SoundStatSource& stored = back.getSource();
    const Frames in = recording();
    EXPECT_EQ(stored.frames, int64_t(in.size()));
    EXPECT_EQ(stored.sampleRate, kRate);
    EXPECT_EQ(stored.fileSize, QFileInfo(f.wav).size());
    EXPECT_EQ(stored.fingerprint.size(), 40);
    const struct {
        const char* name;
        Frames frames;
        const char* difference;  // empty: the same recording
    } cases[] = {
        {"copy", in, ""},
        {"6 dB down", tk::scaled(in, 0.5), "samples are not those"},
        {"cut short", Frames(in.begin(), in.end() - 5), "frames"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = f.dir.path(QString(c.name).replace(' ', '-') + ".wav");
        ASSERT_TRUE(tk::writeWav16(path, c.frames, kRate, 2));
        SoundStatSource actual;
        ASSERT_TRUE(SoundStatSource::measure(path, actual, nullptr));
        const QString difference = stored.differenceFrom(actual);
        EXPECT_TRUE(*c.difference ? difference.contains(c.difference) : difference.isEmpty()) << difference.toStdString();
    }
}

// A file that is not a statistics file is refused by readJSonFile, naming
// the file and the cause, and the object keeps what it held. A damaged one
// (values of every other type: the fuzz corpus of statistics files, replayed
// by the reliability tests) loads what it can, an invalid band left out, and
// SoundStatFileCheck::validate refuses it naming the field. The fields are
// checked as in a file written before files were sealed; a sealed file
// changed anywhere fails its checksum first.
TEST(StatFile, DamagedFilesLoadWhatTheyCanAndFailTheCheck) {
    DescribedFile f;
    const QJsonObject& sealed = f.document;
    ASSERT_TRUE(sealed["Checksum"].isString());
    QJsonObject good = sealed;
    good.remove("Checksum");
    const double leftSqr = good["BandStats"].toArray()[0].toObject()["LeftSqr"].toDouble();
    const int regions = good["StepDetector"].toObject()["Regions"].toArray().size();
    ASSERT_GE(regions, 3);
    const double frames = good["Source"].toObject()["Frames"].toDouble();
    const int bins = good["FFTStats"].toObject()["StatsArray"].toArray().size();
    const QString last = QString("[%1]").arg(regions - 1), lastBin = QString("[%1]").arg(bins - 1);
    const auto edit = [&](const QStringList& path, const QJsonValue& value) { return binary(edited(good, path, value)); };
    const QByteArray whole = binary(good);
    QJsonArray deep;
    for (int i = 0; i < 1100; ++i) deep = QJsonArray{deep};
    const struct {
        const char* name;
        QByteArray bytes;
        const char* cause;
    } cases[] = {
        {"empty", QByteArray(), "empty file"},
        {"truncated", whole.left(whole.size() / 2), "not a valid binary JSON document"},
        // A root size of 2^32 - 2 bytes, which wraps a 32-bit bounds check.
        {"size wraps", QByteArray::fromBase64("cWJqcwEAAAD+////rCcAABMqAG5kRnJlcXMAMAAAABIAAAA="), "not a valid binary JSON document"},
        {"nested too deep", binary(deep), "not a valid binary JSON document"},
        {"array", binary(QJsonArray{1, 2}), "no JSON object"},
        {"other class", edit({"Class"}, "SoundAlgoStats"), "\"Class\" is not \"SoundStatFile\""},
        {"no version", edit({"Version"}, QJsonValue::Undefined), "without a \"Version\""},
        {"edge not a number", edit({"BandFreqs", "[2]"}, "x"), "\"BandFreqs\"[2] is not a number"},
        {"edges out of order", edit({"BandFreqs", "[1]"}, 100.0), "\"BandFreqs\"[1] is not above"},
        {"band missing", edit({"BandStats", "[9]"}, QJsonValue::Undefined), "holds 9 bands for 9 band edges"},
        {"negative count", edit({"BandStats", "[3]", "TotalCount"}, -5), "\"BandStats\"[3] \"TotalCount\" is -5"},
        {"band of another rate", edit({"BandStats", "[2]", "SampleRate"}, 44100), "(44100 Hz) disagrees"},
        {"squares past the peak", edit({"BandStats", "[4]", "LeftSqr"}, 1e9), "\"LeftSqr\" exceeds"},
        {"band of another class", edit({"BandStats", "[1]", "Class"}, "SoundAlgoFFTStats"), "\"Class\" is not"},
        {"detector a list", edit({"StepDetector"}, QJsonArray()), "\"StepDetector\" is not an object"},
        {"region length a text", edit({"StepDetector", "Regions", "[1]", "SampleNb"}, "many"), "\"SampleNb\" is not a number"},
        {"regions overlap", edit({"StepDetector", "Regions", "[2]", "BeginSample"}, 0), "[2] \"BeginSample\" lies inside"},
        {"noise flag a number", edit({"StepDetector", "Regions", "[0]", "IsNoise"}, 1), "\"IsNoise\" is not true or false"},
        {"region past the end", edit({"StepDetector", "Regions", last, "BeginSample"}, frames + 100), "past the end of the recording"},
        {"slope past the regions", edit({"Slopes"}, QJsonArray{QJsonArray{0, frames + 100}}), "\"Slopes\"[0] is not a slope"},
        {"slopes a text", edit({"Slopes"}, "up"), "\"Slopes\" is not an array"},
        {"window negative", edit({"StepDetector", "RMSTime"}, -1), "\"RMSTime\" is -1"},
        {"spectrum short", edit({"FFTStats", "StatsArray", lastBin}, QJsonValue::Undefined), "\"StatsArray\" holds"},
        {"transform size", edit({"FFTStats", "Size"}, 1000), "not a power of two"},
        {"spectrum negative", edit({"FFTStats", "StatsArray", "[5]"}, -1.0), "\"StatsArray\"[5] is not a level"},
        {"overlap a number", edit({"FFTStats", "Overlap"}, 1), "\"Overlap\" is not true or false"},
        {"range a text", edit({"Loudness", "Range"}, "wide"), "\"Loudness\" \"Range\" is not a number"},
        {"loudness length", edit({"Loudness", "FrameCount"}, frames + 1), "disagrees"},
        {"short-term a text", edit({"Loudness", "ShortTerm", "[0]"}, "loud"), "\"ShortTerm\"[0] is not a loudness"},
        {"fingerprint", edit({"Source", "Fingerprint"}, "xyz"), "\"Fingerprint\" is not 40 hexadecimal digits"},
        {"file size a text", edit({"Source", "FileSize"}, "big"), "\"FileSize\" is not a size in bytes"},
        {"source rate a text", edit({"Source", "SampleRate"}, "fast"), "\"SampleRate\" is not a sample rate"},
        {"source empty", edit({"Source"}, QJsonObject()), "\"Source\" is empty"},
        {"sealed, one value nudged", binary(edited(sealed, {"BandStats", "[0]", "LeftSqr"}, leftSqr * (1 + 1e-12))),
         "does not match its \"Checksum\""},
        {"sealed, checksum a number", binary(edited(sealed, {"Checksum"}, 12)), "\"Checksum\" is not a text"},
    };
    SoundStatFile before;
    before.setStats({500.0}, std::vector<SoundAlgoStats*>{tk::bandStatsAt(-1, 48000), tk::bandStatsAt(-7, 48000)}, false);
    const QString path = f.dir.path("bad.ssf");
    // The first seven are no statistics files at all.
    const auto check = [&](const char* name, const char* cause, bool statisticsFile) {
        const QString why = SoundStatFileCheck::validate(path);
        EXPECT_TRUE(why.contains(path) && why.contains(cause)) << why.toStdString();
        SoundStatFile file = before;
        EXPECT_EQ(file.readJSonFile(path), statisticsFile) << SoundDebuggableClass::getError().toStdString();
        if (!statisticsFile) {
            EXPECT_TRUE(SoundDebuggableClass::getError().contains(path));
            EXPECT_EQ(file.getBandStats(), before.getBandStats());
        } else if (std::string(name) == "band of another class") {
            EXPECT_EQ(file.getBandStats().size(), 9u);  // left out, the other nine kept
        }
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(tk::writeBytes(path, c.bytes));
        check(c.name, c.cause, &c - cases >= 7);
    }
    QFile::remove(path);
    check("missing", "cannot be opened", false);

    // The document itself is sound, sealed or not.
    for (const QJsonObject& document : {good, sealed}) {
        ASSERT_TRUE(tk::writeBytes(path, binary(document)));
        EXPECT_TRUE(SoundStatFileCheck::validate(path).isEmpty()) << SoundStatFileCheck::validate(path).toStdString();
        EXPECT_TRUE(SoundStatFile().readJSonFile(path)) << SoundDebuggableClass::getError().toStdString();
    }
}
