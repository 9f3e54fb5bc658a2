#pragma once
// Shared test kit: signal generators, naive reference models, in-memory reader and
// writer, block-size helpers, near-equality checks and access to external tools.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

class SoundAlgoStats;

namespace tk {

using Frame = SoundTools::StereoFrame<double>;
using Frames = std::vector<Frame>;

// ---------------------------------------------------------------- generators
Frames sine(size_t n, double rate, double freq, double amp = 0.5, double phase = 0.0);
// Independent channels of uniform white noise in [-amp, amp], reproducible from the seed.
Frames noise(size_t n, double amp = 0.5, uint32_t seed = 1);
// Different content on left and right: a sine left, noise right.
Frames mixedStereo(size_t n, double rate, uint32_t seed = 7);
inline Frames silence(size_t n) { return Frames(n, Frame(0.0, 0.0)); }
// Concatenation.
Frames concat(std::initializer_list<Frames> parts);
// A ramp 1, 2, 3, ... on the left and its negative on the right: every frame is
// distinct, so any shift or lost frame shows.
Frames ramp(size_t n, double start = 1.0);
// Interleaved little-endian 16-bit stereo (`bytes` of it, whole frames only) as
// frames, full scale 32768: what an audio output or a recorder carries.
Frames fromPcm16(const char* data, size_t bytes);

// ---------------------------------------------------------------- levels
// Decibels of an amplitude ratio, and of a power (mean-square) ratio: the one
// pair of level helpers of the suite.
inline double db(double amplitude) { return 20.0 * std::log10(amplitude); }
inline double powerDb(double power) { return 10.0 * std::log10(power); }
// The amplitude ratio of a level in decibels (the inverse of db()).
inline double fromDb(double decibels) { return std::pow(10.0, decibels / 20.0); }

// ---------------------------------------------------------------- naive references
Frames scaled(const Frames& in, double gain);
Frames delayed(const Frames& in, size_t d);  // d zero frames, then in (same length + d)

// ---------------------------------------------------------------- in-memory streams
// A reader over frames held in memory.
class MemoryReader : public SoundReader {
public:
    MemoryReader(Frames frames, unsigned rate) : mFrames(std::move(frames)), mRate(rate) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return unsigned(mFrames.size()); }
    unsigned getSampleRate() const override { return mRate; }
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }
    // The next frame to be read.
    size_t position() const { return mPos; }

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    Frames mFrames;
    unsigned mRate;
    size_t mPos = 0;
};

// A writer that keeps every frame it is given (with `keep` false it only counts them and
// drops them).
class MemoryWriter : public SoundWriter {
public:
    explicit MemoryWriter(unsigned rate, bool keep = true) : SoundWriter(rate), mKeep(keep) {}
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    const Frames& frames() const { return mFrames; }
    uint64_t count() const { return mCount; }
    // Fails every write after `limit` frames (simulates a full disk).
    void failAfter(size_t limit) { mLimit = limit; }

protected:
    unsigned write(unsigned count, double* src) override;

private:
    Frames mFrames;
    bool mKeep;
    uint64_t mCount = 0;
    uint64_t mLimit = UINT64_MAX;
};

// Sets SoundBuffer::sSize for the life of the object.
class ScopedBlockSize {
public:
    explicit ScopedBlockSize(unsigned size) : mOld(SoundBuffer::sSize) { SoundBuffer::sSize = size; }
    ~ScopedBlockSize() { SoundBuffer::sSize = mOld; }

private:
    unsigned mOld;
};

// Fills the composite `c` (a SoundAlgoComposite or a class derived from it) with
// side-by-side branches of the given members, whose references it takes over;
// returns `c`.
template <typename C>
C& fill(C& c, const std::vector<std::vector<SoundAlgo*>>& branches) {
    for (size_t b = 0; b < branches.size(); ++b) {
        if (b > 0) c.addNewBranch();
        for (SoundAlgo* m : branches[b]) c.pushAlgo(m);
    }
    return c;
}

// Runs `algo` over `in` with processAll, blocks of `blockSize` frames, and
// returns what the writer received. status receives processAll's result.
Frames run(SoundAlgo& algo, const Frames& in, unsigned rate, unsigned blockSize = 1024,
           SoundTools::Status* status = nullptr);

// ---------------------------------------------------------------- comparisons
// Largest absolute difference over both channels; frames beyond the shorter
// sequence count as a mismatch of infinity.
double maxAbsDiff(const Frames& a, const Frames& b);
::testing::AssertionResult framesNear(const Frames& a, const Frames& b, double tol);
double rms(const Frames& f, size_t from = 0, size_t to = SIZE_MAX);
double peak(const Frames& f);

// ---------------------------------------------------------------- files and tools
// Frames a sound file holds, read back through the library's reader factory (a
// .raw file: its size over two 32-bit floats a frame); -1 when it cannot be
// opened or its reading fails.
int64_t framesInFile(const QString& path);
// A band statistics algorithm (the kind a statistics file holds) whose full
// RMS is `db`, as read from its JSON form (with the sample rate, unless 0);
// the caller owns the reference.
SoundAlgoStats* bandStatsAt(double db, unsigned rate = 0);

// A file's bytes (empty when it cannot be read), and bytes written to a file
// (false when it cannot be written whole).
QByteArray fileBytes(const QString& path);
bool writeBytes(const QString& path, const QByteArray& bytes);

// A temporary folder removed at the end of the test.
class TempDir {
public:
    TempDir();
    QString path(const QString& name) const { return mDir.path() + "/" + name; }
    QString root() const { return mDir.path(); }

private:
    QTemporaryDir mDir;
};

// Runs a shell command; returns its exit code and puts its standard output in out.
int runCommand(const std::string& command, std::string* out = nullptr);
bool haveTool(const std::string& name);

}  // namespace tk
