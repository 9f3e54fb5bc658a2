// Fault injection: writers whose output fails (a full device, a file-size
// limit mid-file, the folder removed), and readers
// whose file is cut while being read. Every case must end with Error and a
// message naming the file, never a crash, and no writer may count frames that
// did not reach its file.
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <functional>
#include <memory>

#include "common/Faults.h"
#include "common/FileKit.h"
#include "common/Recordings.h"
#include "common/TestKit.h"
#include "tonewright/Level.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundWriterMultiFile.h"

namespace {

constexpr unsigned kRate = 44100;
constexpr unsigned kFrames = 5 * kRate;  // 5 s: more than any of the small spaces below

// One kind of writer. `slack` is how many frames a writer may have accepted
// beyond what its file holds when it fails: 0 for PCM, where every frame counted
// is in the file; an encoder keeps frames in hand (its block or look-ahead), and
// the bytes of those are what a failure loses.
struct WriterKind {
    const char* name;
    const char* extension;
    SoundTools::SoundFormat format;
    bool multiFile;
    int64_t slack;
    bool available() const { return std::string(extension) != "mp3" || SoundWriterMp3::Init(); }
    QString output() const { return QString("out.") + extension; }
    // The file the writer creates in `folder` (the first segment for the multi-file writer).
    QString firstFile(const QString& folder) const { return folder + (multiFile ? "/001-" : "/") + output(); }
};

const WriterKind kWriters[] = {
    {"wav 16-bit", "wav", SoundTools::Pcm16, false, 0},
    {"wav 24-bit", "wav", SoundTools::Pcm24, false, 0},
    {"raw float", "raw", SoundTools::Float, false, 0},
    {"flac", "flac", SoundTools::Pcm16, false, 16384},
    {"ogg vorbis", "ogg", SoundTools::Pcm16, false, 65536},
    {"mp3", "mp3", SoundTools::Pcm16, false, 8192},
    {"multi-file, wav segments", "wav", SoundTools::Pcm16, true, 0},
    {"multi-file, mp3 segments", "mp3", SoundTools::Pcm16, true, 8192},
};

// Runs kFrames of noise through a unity gain into a writer of kind `k` on
// `path`, `hook` called once when the stream passes frame `at`, and says what
// is wrong with how it met its fault (empty: nothing), as text that a child
// process can hand back.
std::string faultProblems(const WriterKind& k, const QString& path, bool leavesNoFile, std::function<void()> hook) {
    tk::HookReader reader(kFrames, kRate, kFrames / 3, std::move(hook));
    SoundRef<RMSStepDetector> detector = tk::detectorFromList({tk::region(0, int(kFrames), -11, -11)});
    std::unique_ptr<SoundWriter> writer(
        k.multiFile ? new SoundWriterMultiFile(detector.get(), 0.5, kRate, 2, 128, k.format)
                    : SoundWriter::getFromFilename(path, kRate, 128, k.format));
    auto* const multi = dynamic_cast<SoundWriterMultiFile*>(writer.get());
    SoundDebuggableClass::setError("(no error)");
    // A run into a writer that did not open must be refused too; closing it is harmless.
    writer->open(path);
    const SoundTools::Status status = SoundRef<SoundAlgoScale>::make(0.0)->processAll(reader, writer.get());
    writer->close();
    const int64_t offset = writer->getCurrentOffset();
    const std::string error = SoundDebuggableClass::getError().toStdString();
    std::string wrong;
    const auto need = [&](bool ok, const char* what) { wrong += ok ? "" : std::string(what) + "; "; };
    need(status == SoundTools::Error, "the run did not end in Error");
    need(writer->hasFailed(), "hasFailed() is false");
    need(offset < int64_t(kFrames), "a writer that failed cannot have written the whole stream");
    need(error.find(k.output().toStdString()) != std::string::npos, "the message does not name the file");
    bool fileLeft = QFileInfo(path).exists();
    if (multi) {
        // Every frame is accounted for, the lost ones included, and every file
        // left behind is complete: read back, they hold what the writer says.
        need(multi->getFramesInFiles() + multi->getFramesSkippedSilence() + multi->getFramesDroppedNoise() +
                     multi->getFramesDroppedShort() + multi->getFramesLost() ==
                 offset,
             "frames not accounted for");
        int64_t inFiles = 0;
        for (int i = 1; i <= multi->GetWrittenFiles() + 1; ++i) {
            const QString segment = multi->getSegmentName(i);
            if (!QFileInfo(segment).isFile()) continue;
            fileLeft = true;
            inFiles += std::max<int64_t>(0, tk::framesInFile(segment));
        }
        need(inFiles == multi->getFramesInFiles(), "the files do not hold what the writer says");
    } else if (tk::framesInFile(path) >= 0) {
        need(offset <= tk::framesInFile(path) + k.slack, "frames counted but not in the file");
    }
    if (leavesNoFile) need(!fileLeft, "a file is left");
    return wrong.empty() ? wrong : wrong + "message: " + error;
}

// Cuts its file to `keep` bytes on the block that passes frame `at`.
class CutWhileReading : public SoundAlgoScale {
public:
    CutWhileReading(QString path, qint64 keep, int at) : SoundAlgoScale(0.0), mPath(std::move(path)), mKeep(keep), mAt(at) {}
    SoundTools::Status process() override {
        if (mAt >= 0 && getInOrigin() + int(getInFrameNb()) > mAt) {
            mAt = -1;
            QFile::resize(mPath, mKeep);
        }
        return SoundAlgoScale::process();
    }

private:
    QString mPath;
    qint64 mKeep;
    int mAt;
};

}  // namespace

// Every writer against every fault, each set up around one run into the folder
// `out`:
//  - /dev/full in place of the file: the open succeeds, every write fails (ENOSPC),
//    the one disk-full case (a file system that fills mid-file takes the same
//    branch as the size limit below);
//  - a file-size limit with SIGXFSZ ignored (the library leaves signal
//    dispositions to the host; a host that sets such a limit ignores the
//    signal, and writes then fail with EFBIG);
//  - the folder removed, file and all, mid-run: the open file lives on without
//    a name and every later write succeeds into nothing, which a writer must
//    not take for success.
// Limits change the process: that fault runs in a child.
TEST(FaultsWrite, EveryWriterReportsEveryFault) {
    const struct {
        const char* name;
        // Sets the fault up for kind k writing into folder; the reason when the
        // machine cannot make it.
        std::function<std::string(const WriterKind&, const QString&)> setUp;
        bool inChild, leavesNoFile, removedMidRun;
    } faults[] = {
        {"/dev/full",
         [](const WriterKind& k, const QString& folder) {
             return QFile::link("/dev/full", k.firstFile(folder)) ? "" : "no link to /dev/full";
         },
         false, false, false},
        {"file-size limit",
         [](const WriterKind&, const QString&) {
             signal(SIGXFSZ, SIG_IGN);
             struct rlimit limit {};
             getrlimit(RLIMIT_FSIZE, &limit);
             limit.rlim_cur = 64 * 1024;
             return setrlimit(RLIMIT_FSIZE, &limit) == 0 ? "" : "setrlimit";
         },
         true, false, false},
        // An output that cannot be opened (a missing folder fails in the same open).
        {"a folder of its name",
         [](const WriterKind& k, const QString& folder) { return QDir().mkpath(k.firstFile(folder)) ? "" : "mkpath"; },
         false, false, false},
        {"folder removed", nullptr, false, true, true},
    };
    for (const auto& fault : faults)
        for (const WriterKind& k : kWriters) {
            if (!k.available()) continue;
            SCOPED_TRACE(std::string(k.name) + ", " + fault.name);
            tk::TempDir dir;
            const QString folder = dir.path("out");
            ASSERT_TRUE(QDir().mkpath(folder));
            const auto body = [&] {
                const std::string why = fault.setUp ? fault.setUp(k, folder) : "";
                if (!why.empty()) return "SKIP " + why;
                const auto remove = [folder] { QDir(folder).removeRecursively(); };
                return faultProblems(k, folder + "/" + k.output(), fault.leavesNoFile,
                                     fault.removedMidRun ? std::function<void()>(remove) : nullptr);
            };
            const tk::ChildOutcome child = fault.inChild ? tk::runInChild(body) : tk::ChildOutcome{true, 0, 0, body()};
            ASSERT_TRUE(child.exited && child.exitCode == 0) << child.describe();
            if (child.text.rfind("SKIP ", 0) == 0)
                std::printf("[ skipped  ] %s, %s: %s\n", fault.name, k.name, child.text.c_str() + 5);
            else
                EXPECT_EQ(child.text, "");
        }
}

// Cut at 40 % once the run has read a fifth: the reader has already buffered
// some of what follows, never the whole file. A new open sees the shorter file
// and reads it without complaint, or refuses it; either way with no crash.
TEST(FaultsRead, FileCutWhileBeingRead) {
    for (const WriterKind& k : kWriters) {
        if (k.multiFile || std::string(k.extension) == "raw" || !k.available()) continue;
        SCOPED_TRACE(k.name);
        tk::TempDir dir;
        const QString path = dir.path(k.output());
        ASSERT_TRUE(tk::writeFile(path, tk::noise(kFrames), kRate, k.format)) << qPrintable(SoundDebuggableClass::getError());
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
        ASSERT_EQ(reader->open(path), SoundTools::Ok);
        auto cut = SoundRef<CutWhileReading>::make(path, QFileInfo(path).size() * 2 / 5, int(kFrames / 5));
        tk::MemoryWriter sink(kRate, false);  // counts only
        SoundDebuggableClass::setError("(no error)");
        EXPECT_EQ(cut->processAll(*reader, &sink), SoundTools::Error);
        EXPECT_TRUE(reader->hasFailed());
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(path)) << SoundDebuggableClass::getError().toStdString();
        EXPECT_LT(sink.count(), uint64_t(kFrames));
        EXPECT_GE(sink.count(), uint64_t(kFrames / 5));
        if (reader->open(path) == SoundTools::Ok) { EXPECT_FALSE(reader->hasFailed()); }
    }
}

// The same cut under the level job, while it finds the regions: the decoding
// then runs on a thread of its own ahead of the detection, which must still
// meet the failure where it happens and name it, and no output is left.
TEST(FaultsReadThreads, LevelInputCutWhileFindingTheRegions) {
    tk::TempDir dir;
    const QString path = dir.path("in.wav");
    const unsigned frames = 20 * kRate;
    ASSERT_TRUE(tk::writeFile(path, tk::noise(frames, 0.3), kRate, SoundTools::Pcm16));
    const qint64 keep = QFileInfo(path).size() * 2 / 5;
    bool cut = false;
    tonewright::JobControl control;
    control.progress = [&](const tonewright::JobProgress& p) {
        if (!cut && p.pass == 0 && p.done > p.total / 10) cut = QFile::resize(path, keep);
        return true;
    };
    tonewright::LevelSettings s;
    s.input = path.toStdString();
    s.output = dir.path("out.wav").toStdString();
    s.loudnessTarget = false;
    const tonewright::JobResult<tonewright::LevelReport> r = tonewright::level(s, control);
    ASSERT_TRUE(cut);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().file, s.input.string());
    EXPECT_NE(r.error().cause.find("cut while being read"), std::string::npos) << r.error().message();
    EXPECT_FALSE(QFileInfo::exists(dir.path("out.wav")));
    EXPECT_EQ(QDir(dir.path("")).entryList(QDir::Files), QStringList{"in.wav"});
}
