// Fault injection: writers whose output fails mid-file (a full device, a small
// file system that fills, a file-size limit, the folder removed), and readers
// whose file is cut while being read. Every case must end with Error and a
// message naming the file, never a crash, and no writer may count frames that
// did not reach its file.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>

#include "common/Faults.h"
#include "common/Recordings.h"
#include "common/TestKit.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundSndfile.h"
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

bool available(const WriterKind& k) { return std::string(k.extension) != "mp3" || SoundWriterMp3::Init(); }

// What one run produced, carried as text out of a child process.
struct Outcome {
    int status = -1;         // processAll
    bool failed = false;     // hasFailed() after close()
    int64_t offset = -1;     // getCurrentOffset() after close()
    int64_t fileFrames = -1; // frames the file(s) hold, read back; -1 when unreadable
    bool fileExists = false;
    int64_t accounted = -1;  // multi-file: frames in files + skipped + dropped + lost
    int64_t inFiles = -1;    // multi-file: what it says its files hold
    std::string error;

    std::string serialise() const {
        std::ostringstream s;
        s << status << ' ' << failed << ' ' << offset << ' ' << fileFrames << ' ' << fileExists << ' ' << accounted
          << ' ' << inFiles << '\n'
          << error;
        return s.str();
    }
    static Outcome parse(const std::string& text) {
        Outcome o;
        std::istringstream s(text);
        s >> o.status >> o.failed >> o.offset >> o.fileFrames >> o.fileExists >> o.accounted >> o.inFiles;
        s.ignore(1);
        std::getline(s, o.error, '\0');
        return o;
    }
};


SoundRef<RMSStepDetector> oneSoundRegion() {
    RMSStepDetector::Region r{};
    r.BeginSample = 0;
    r.SampleNb = int32_t(kFrames);
    r.RMSSqrValue0 = r.RMSSqrValue1 = 0.08;
    r.MeanSmpl = 100;
    r.IsNoise = false;
    return tk::detectorFromList({r});
}

// Runs kFrames of noise through a unity gain into a writer of kind `k` on
// `path`; `hook` runs once when the stream passes frame `at`.
Outcome runWriter(const WriterKind& k, const QString& path, unsigned at = 0, std::function<void()> hook = {}) {
    Outcome o;
    tk::HookReader reader(kFrames, kRate, at, std::move(hook));
    auto gain = SoundRef<SoundAlgoScale>::make(0.0);
    SoundRef<RMSStepDetector> detector;
    std::unique_ptr<SoundWriter> writer;
    SoundWriterMultiFile* multi = nullptr;
    if (k.multiFile) {
        detector = oneSoundRegion();
        auto m = std::make_unique<SoundWriterMultiFile>(detector.get(), 0.5, kRate, 2, 128, k.format);
        multi = m.get();
        writer = std::move(m);
    } else {
        writer.reset(SoundWriter::getFromFilename(path, kRate, 128, k.format));
    }
    if (!writer) {
        o.error = "no writer";
        return o;
    }
    SoundDebuggableClass::setError("(no error)");
    if (writer->open(path) != SoundTools::Ok) {
        o.status = SoundTools::Error;
        o.failed = true;
        o.offset = writer->getCurrentOffset();
        o.error = SoundDebuggableClass::getError().toStdString();
        return o;
    }
    o.status = gain->processAll(reader, writer.get());
    writer->close();
    o.failed = writer->hasFailed();
    o.offset = writer->getCurrentOffset();
    o.error = SoundDebuggableClass::getError().toStdString();
    if (multi) {
        o.inFiles = multi->getFramesInFiles();
        o.accounted = multi->getFramesInFiles() + multi->getFramesSkippedSilence() + multi->getFramesDroppedNoise() +
                      multi->getFramesDroppedShort() + multi->getFramesLost();
        // Every file left behind is complete: read back, they hold what the
        // writer says its files hold.
        int64_t total = 0;
        for (int i = 1; i <= multi->GetWrittenFiles() + 1; ++i) {
            const QString segment = multi->getSegmentName(i);
            if (QFileInfo(segment).isFile()) {
                o.fileExists = true;
                total += std::max<int64_t>(0, tk::framesInFile(segment));
            }
        }
        o.fileFrames = total;
    } else {
        o.fileExists = QFileInfo(path).exists();
        o.fileFrames = tk::framesInFile(path);
    }
    return o;
}

// The checks every failing case shares.
void expectCleanFailure(const WriterKind& k, const Outcome& o, const QString& fileName, const char* fault) {
    SCOPED_TRACE(std::string(k.name) + ", " + fault);
    EXPECT_EQ(o.status, SoundTools::Error) << o.error;
    EXPECT_TRUE(o.failed);
    EXPECT_LT(o.offset, int64_t(kFrames)) << "a writer that failed cannot have written the whole stream";
    EXPECT_NE(o.error, "(no error)");
    EXPECT_NE(o.error.find(fileName.toStdString()), std::string::npos)
        << "the message names the file: " << o.error;
    if (k.multiFile) {
        // Every frame is accounted for, the lost ones included, and nothing
        // half-written is left: the files hold what the writer says they hold.
        EXPECT_EQ(o.accounted, o.offset) << o.error;
        EXPECT_EQ(o.fileFrames, o.inFiles);
    } else if (o.fileFrames >= 0) {
        // What the writer counts, the file holds (an encoder may hold some back).
        EXPECT_LE(o.offset, o.fileFrames + k.slack) << "frames counted but not in the file";
    }
}

QString outputName(const WriterKind& k) { return QString("out.") + k.extension; }

// The file name that the writer of kind k creates for `name` (the first
// segment for the multi-file writer).
QString firstFile(const WriterKind& k, const QString& folder) {
    return k.multiFile ? folder + "/001-" + outputName(k) : folder + "/" + outputName(k);
}

}  // namespace

// Every writer against every fault, each set up around one run into the folder
// `out`:
//  - /dev/full in place of the file: the open succeeds, every write fails (ENOSPC);
//  - a 1 MiB tmpfs, nearly full already, that fills in the middle of the file;
//  - a file-size limit with SIGXFSZ ignored (the library leaves signal
//    dispositions to the host; a host that sets such a limit ignores the
//    signal, and writes then fail with EFBIG);
//  - the folder removed, file and all, mid-run: the open file lives on without
//    a name and every later write succeeds into nothing, which a writer must
//    not take for success.
TEST(FaultsWrite, EveryWriterReportsEveryFault) {
    struct Fault {
        const char* name;
        // Sets the fault up for kind k writing into folder; "SKIP <why>" when the
        // machine cannot make it, else the run's outcome.
        std::function<std::string(const WriterKind&, const QString&)> run;
        bool leavesNoFile;
        // Mounts and limits change the process: those faults run in a child.
        bool inChild;
    };
    const Fault faults[] = {
        {"/dev/full",
         [](const WriterKind& k, const QString& folder) {
             if (!QFile::link("/dev/full", firstFile(k, folder))) return std::string("SKIP no link to /dev/full");
             return runWriter(k, folder + "/" + outputName(k)).serialise();
         },
         false, false},
        {"tmpfs full",
         [](const WriterKind& k, const QString& folder) {
             std::string why;
             // Leave room for the headers and a little audio.
             if (!tk::mountTmpfs(folder.toStdString(), 1 << 20, &why) ||
                 !tk::fillUntilFree(folder.toStdString(), 48 * 1024, &why))
                 return "SKIP " + why;
             return runWriter(k, folder + "/" + outputName(k)).serialise();
         },
         false, true},
        {"file-size limit",
         [](const WriterKind& k, const QString& folder) {
             signal(SIGXFSZ, SIG_IGN);
             struct rlimit limit {};
             getrlimit(RLIMIT_FSIZE, &limit);
             limit.rlim_cur = 64 * 1024;
             if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("SKIP setrlimit");
             return runWriter(k, folder + "/" + outputName(k)).serialise();
         },
         false, true},
        {"folder removed",
         [](const WriterKind& k, const QString& folder) {
             return runWriter(k, folder + "/" + outputName(k), kFrames / 3,
                              [folder] { QDir(folder).removeRecursively(); })
                 .serialise();
         },
         true, false},
    };
    for (const Fault& fault : faults) {
        for (const WriterKind& k : kWriters) {
            if (!available(k)) continue;
            tk::TempDir dir;
            const QString folder = dir.path("out");
            ASSERT_TRUE(QDir().mkpath(folder));
            std::string text;
            if (fault.inChild) {
                const tk::ChildOutcome child = tk::runInChild([&] { return fault.run(k, folder); });
                ASSERT_TRUE(child.exited && child.exitCode == 0) << k.name << ", " << fault.name << ": " << child.describe();
                text = child.text;
            } else {
                text = fault.run(k, folder);
            }
            if (text.rfind("SKIP ", 0) == 0) {
                std::printf("[ skipped  ] %s, %s: %s\n", fault.name, k.name, text.c_str() + 5);
                continue;
            }
            const Outcome o = Outcome::parse(text);
            expectCleanFailure(k, o, QFileInfo(firstFile(k, folder)).fileName(), fault.name);
            if (fault.leavesNoFile) {
                EXPECT_FALSE(o.fileExists) << k.name << ", " << fault.name;
            }
        }
    }
}

// An output that cannot be opened (its folder missing, or a folder of its name)
// is an Error naming it, and a run into the unopened writer is refused, not
// reported as success.
TEST(FaultsWrite, AnOutputThatCannotBeOpenedRefusesTheRun) {
    for (const WriterKind& k : kWriters) {
        if (k.multiFile || !available(k)) continue;
        tk::TempDir dir;
        ASSERT_TRUE(QDir().mkpath(dir.path(QString("folder.") + k.extension)));
        for (const QString& name : {dir.path(QString("no/such/folder/out.") + k.extension),
                                    dir.path(QString("folder.") + k.extension)}) {
            SCOPED_TRACE(std::string(k.name) + ", " + name.toStdString());
            std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(name, kRate, 128, k.format));
            ASSERT_TRUE(w);
            EXPECT_EQ(w->open(name), SoundTools::Error);
            EXPECT_TRUE(SoundDebuggableClass::getError().contains(name)) << SoundDebuggableClass::getError().toStdString();
            auto copy = SoundRef<SoundAlgoBypass>::make();
            tk::MemoryReader reader(tk::noise(5000), kRate);
            EXPECT_EQ(copy->processAll(reader, w.get()), SoundTools::Error);
            EXPECT_TRUE(w->hasFailed());
            w->close();  // harmless on a writer that never opened
        }
    }
}

// ---------------------------------------------------------------- reading

namespace {

// Cuts its file to `keep` bytes on the block that passes frame `at`.
class CutWhileReading : public SoundAlgoScale {
public:
    CutWhileReading(QString path, qint64 keep, int at) : SoundAlgoScale(0.0), mPath(std::move(path)), mKeep(keep), mAt(at) {}
    SoundTools::Status process() override {
        if (!mDone && getInOrigin() + int(getInFrameNb()) > mAt) {
            mDone = true;
            QFile::resize(mPath, mKeep);
        }
        return SoundAlgoScale::process();
    }

private:
    QString mPath;
    qint64 mKeep;
    int mAt;
    bool mDone = false;
};

}  // namespace

TEST(FaultsRead, FileCutWhileBeingRead) {
    for (const WriterKind& k : kWriters) {
        if (k.multiFile || std::string(k.extension) == "raw" || !available(k)) continue;
        SCOPED_TRACE(k.name);
        tk::TempDir dir;
        const QString path = dir.path(outputName(k));
        const Outcome made = runWriter(k, path);
        ASSERT_EQ(made.status, SoundTools::Ok) << made.error;
        ASSERT_FALSE(made.failed);
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
        ASSERT_EQ(reader->open(path), SoundTools::Ok);
        const qint64 size = QFileInfo(path).size();
        // Cut at 40 % once the run has read a fifth: the reader has already
        // buffered some of what follows, never the whole file.
        auto cut = SoundRef<CutWhileReading>::make(path, size * 2 / 5, int(kFrames / 5));
        tk::NullWriter sink(kRate);
        SoundDebuggableClass::setError("(no error)");
        const SoundTools::Status status = cut->processAll(*reader, &sink);
        EXPECT_EQ(status, SoundTools::Error);
        EXPECT_TRUE(reader->hasFailed());
        const std::string error = SoundDebuggableClass::getError().toStdString();
        EXPECT_NE(error.find(path.toStdString()), std::string::npos) << error;
        EXPECT_LT(sink.count(), uint64_t(kFrames));
        EXPECT_GE(sink.count(), uint64_t(kFrames / 5));
        // A new open sees the shorter file and reads it without complaint, or
        // refuses it; either way with no crash.
        if (reader->open(path) == SoundTools::Ok) {
            EXPECT_FALSE(reader->hasFailed());
        }
    }
}
