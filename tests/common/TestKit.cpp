#include "TestKit.h"

#include "tonewright/SoundAlgoStats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <memory>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

namespace tk {

Frames sine(size_t n, double rate, double freq, double amp, double phase) {
    Frames f(n);
    const double w = 2.0 * M_PI * freq / rate;
    for (size_t i = 0; i < n; ++i) {
        const double v = amp * std::sin(w * double(i) + phase);
        f[i] = Frame(v, v);
    }
    return f;
}

Frames noise(size_t n, double amp, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-amp, amp);
    Frames f(n);
    for (auto& fr : f) {
        fr.l = dist(gen);
        fr.r = dist(gen);
    }
    return f;
}

Frames mixedStereo(size_t n, double rate, uint32_t seed) {
    Frames f = sine(n, rate, 997.0, 0.4);
    const Frames nz = noise(n, 0.3, seed);
    for (size_t i = 0; i < n; ++i) f[i].r = nz[i].r;
    return f;
}

Frames silence(size_t n) { return Frames(n, Frame(0.0, 0.0)); }

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

Frames scaled(const Frames& in, double gain) {
    Frames out(in.size());
    for (size_t i = 0; i < in.size(); ++i) out[i] = Frame(in[i].l * gain, in[i].r * gain);
    return out;
}

Frames delayed(const Frames& in, size_t d) {
    Frames out(d, Frame(0.0, 0.0));
    out.insert(out.end(), in.begin(), in.end());
    return out;
}

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
    size_t n = count;
    if (mFrames.size() + n > mLimit) n = mLimit > mFrames.size() ? mLimit - mFrames.size() : 0;
    const Frame* f = reinterpret_cast<const Frame*>(src);
    mFrames.insert(mFrames.end(), f, f + n);
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
    if (a.size() != b.size()) return std::numeric_limits<double>::infinity();
    double m = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        m = std::max(m, std::fabs(a[i].l - b[i].l));
        m = std::max(m, std::fabs(a[i].r - b[i].r));
        if (std::isnan(a[i].l) != std::isnan(b[i].l) || std::isnan(a[i].r) != std::isnan(b[i].r))
            return std::numeric_limits<double>::infinity();
    }
    return m;
}

::testing::AssertionResult framesNear(const Frames& a, const Frames& b, double tol) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "lengths differ: " << a.size() << " vs " << b.size();
    for (size_t i = 0; i < a.size(); ++i) {
        if (!(std::fabs(a[i].l - b[i].l) <= tol) || !(std::fabs(a[i].r - b[i].r) <= tol))
            return ::testing::AssertionFailure() << "frame " << i << ": (" << a[i].l << ", " << a[i].r << ") vs ("
                                                 << b[i].l << ", " << b[i].r << "), tolerance " << tol;
    }
    return ::testing::AssertionSuccess();
}

double rms(const Frames& f, size_t from, size_t to) {
    to = std::min(to, f.size());
    if (to <= from) return 0.0;
    double s = 0.0;
    for (size_t i = from; i < to; ++i) s += f[i].l * f[i].l + f[i].r * f[i].r;
    return std::sqrt(s / double(2 * (to - from)));
}

double peak(const Frames& f) {
    double p = 0.0;
    for (const auto& fr : f) p = std::max(p, fr.absmax());
    return p;
}

TempDir::TempDir() : mDir(QDir::tempPath() + "/tonewright-test-XXXXXX") {}

QString TempDir::path(const QString& name) const { return mDir.path() + "/" + name; }

int runCommand(const std::string& command, std::string* out) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buf[4096];
    std::string text;
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
    const int status = pclose(pipe);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveTool(const std::string& name) { return runCommand("command -v " + name + " >/dev/null 2>&1") == 0; }

int64_t framesInFile(const QString& path) {
    if (!QFileInfo(path).isFile()) return -1;
    if (path.endsWith(".raw")) return QFileInfo(path).size() / 8;
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    if (!reader || reader->open(path) != SoundTools::Ok) return -1;
    auto buffer = SoundBuffer::createNew(reader->getSampleRate());
    buffer->alloc(4096, 2);
    int64_t total = 0;
    while (unsigned n = reader->stereoRead(buffer, 0)) total += n;
    return reader->hasFailed() ? -1 : total;
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
