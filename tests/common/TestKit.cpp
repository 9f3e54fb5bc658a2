#include "TestKit.h"

#include "FileKit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>

#include "tonewright/SoundAlgoStats.h"

namespace tk {

Frames sine(size_t n, double rate, double freq, double amp, double phase) {
    Frames f(n);
    const double w = 2.0 * M_PI * freq / rate;
    for (size_t i = 0; i < n; ++i) f[i].l = f[i].r = amp * std::sin(w * double(i) + phase);
    return f;
}

Frames noise(size_t n, double amp, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-amp, amp);
    Frames f(n);
    for (auto& fr : f) fr.l = dist(gen), fr.r = dist(gen);
    return f;
}

Frames mixedStereo(size_t n, double rate, uint32_t seed) {
    Frames f = sine(n, rate, 997.0, 0.4);
    const Frames nz = noise(n, 0.3, seed);
    for (size_t i = 0; i < n; ++i) f[i].r = nz[i].r;
    return f;
}

Frames concat(std::initializer_list<Frames> parts) {
    Frames out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Frames ramp(size_t n, double start) {
    Frames f(n);
    for (size_t i = 0; i < n; ++i) f[i] = Frame(start + double(i), -(start + double(i)));
    return f;
}

Frames fromPcm16(const char* data, size_t bytes) {
    Frames out(bytes / 4);
    for (size_t i = 0; i < 2 * out.size(); ++i) {
        int16_t s;
        std::memcpy(&s, data + 2 * i, 2);  // the test hosts are little-endian, as the format
        out[i / 2][int(i % 2)] = s / 32768.0;
    }
    return out;
}

Frames scaled(const Frames& in, double gain) {
    Frames out = in;
    for (Frame& f : out) f *= Frame(gain, gain);
    return out;
}

Frames delayed(const Frames& in, size_t d) { return concat({silence(d), in}); }

void MemoryReader::rewind() {
    resetAtEnd();
    mOffset = getStartOffset();
    if (mOffset < 0 || size_t(mOffset) >= mFrames.size()) mOffset = 0;
    mPos = size_t(mOffset);
}

unsigned MemoryReader::read(unsigned count, double* dest) {
    const size_t n = std::min<size_t>(count, mFrames.size() - mPos);
    if (n > 0) std::memcpy(dest, mFrames.data() + mPos, n * sizeof(Frame));
    mPos += n;
    return unsigned(n);
}

unsigned MemoryWriter::write(unsigned count, double* src) {
    const uint64_t n = std::min<uint64_t>(count, mLimit > mCount ? mLimit - mCount : 0);
    const Frame* f = reinterpret_cast<const Frame*>(src);
    if (mKeep) mFrames.insert(mFrames.end(), f, f + n);
    mCount += n;
    return unsigned(n);
}

Frames run(SoundAlgo& algo, const Frames& in, unsigned rate, unsigned blockSize, SoundTools::Status* status) {
    ScopedBlockSize block(blockSize);
    MemoryReader reader(in, rate);
    MemoryWriter writer(rate);
    const SoundTools::Status s = algo.processAll(reader, &writer);
    if (status) *status = s;
    return writer.frames();
}

double maxAbsDiff(const Frames& a, const Frames& b) {
    const double inf = std::numeric_limits<double>::infinity();
    if (a.size() != b.size()) return inf;
    double m = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int c : {0, 1}) {
            if (std::isnan(a[i][c]) != std::isnan(b[i][c])) return inf;
            m = std::max(m, std::fabs(a[i][c] - b[i][c]));
        }
    return m;
}

::testing::AssertionResult framesNear(const Frames& a, const Frames& b, double tol) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "lengths differ: " << a.size() << " vs " << b.size();
    for (size_t i = 0; i < a.size(); ++i)
        if (!(std::fabs(a[i].l - b[i].l) <= tol) || !(std::fabs(a[i].r - b[i].r) <= tol))
            return ::testing::AssertionFailure() << "frame " << i << ": (" << a[i].l << ", " << a[i].r << ") vs ("
                                                 << b[i].l << ", " << b[i].r << "), tolerance " << tol;
    return ::testing::AssertionSuccess();
}

double rms(const Frames& f, size_t from, size_t to) {
    to = std::min(to, f.size());
    double s = 0.0;
    for (size_t i = from; i < to; ++i) s += f[i].l * f[i].l + f[i].r * f[i].r;
    return to > from ? std::sqrt(s / double(2 * (to - from))) : 0.0;
}

double peak(const Frames& f) {
    double p = 0.0;
    for (const auto& fr : f) p = std::max(p, fr.absmax());
    return p;
}

TempDir::TempDir() : mDir(QDir::tempPath() + "/tonewright-test-XXXXXX") {}

int runCommand(const std::string& command, std::string* out) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buf[4096];
    std::string text;
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) text.append(buf, n);
    const int status = pclose(pipe);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveTool(const std::string& name) { return runCommand("command -v " + name + " >/dev/null 2>&1") == 0; }

int64_t framesInFile(const QString& path) {
    if (!QFileInfo(path).isFile()) return -1;
    if (path.endsWith(".raw")) return QFileInfo(path).size() / 8;
    const std::unique_ptr<SoundReader> reader = openReader(path);
    const int64_t frames = reader ? int64_t(readAll(*reader).size()) : -1;
    return reader && !reader->hasFailed() ? frames : -1;
}

SoundAlgoStats* bandStatsAt(double db, unsigned rate) {
    const double meanSquare = std::pow(10.0, db / 10.0);
    QJsonObject o{{"Class", "SoundAlgoStats"}, {"OutputType", 2},         {"WindowTime", 0.0},
                  {"TotalCount", 1},           {"LeftSqr", meanSquare}, {"RightSqr", meanSquare}};
    if (rate) o.insert("SampleRate", int(rate));
    return SoundAlgoStats::createFromJSon(o);
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

}  // namespace tk
