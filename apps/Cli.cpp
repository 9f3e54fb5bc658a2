#include "Cli.h"

#include <QFileInfo>
#include <QObject>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace cli {

std::map<std::string, JobInfo>& jobs() {
    static std::map<std::string, JobInfo> registry;
    return registry;
}

Job::Job(const char* name, const char* summary, JobFunction run) { jobs()[name] = JobInfo{summary, std::move(run)}; }

Options& options() {
    static Options o;
    return o;
}

void printError(const QString& file, const QString& what) {
    const QString cause = SoundDebuggableClass::getError();
    std::fprintf(stderr, "tonewright: %s: %s%s%s\n", qPrintable(file), qPrintable(what), cause.isEmpty() ? "" : ": ",
                 qPrintable(cause));
}

struct Progress::Impl {
    QMetaObject::Connection connection;
    bool drawn = false;
};

Progress::Progress(SoundAlgo& algo, const QString& label) : mImpl(std::make_unique<Impl>()) {
    if (options().quiet || !isatty(STDERR_FILENO)) return;
    Impl* impl = mImpl.get();
    const std::string text = label.toStdString();
    impl->connection =
        QObject::connect(&algo, &SoundAlgo::notifyInProgress, [impl, text](unsigned done, unsigned total) {
            if (total == 0) return;
            const int width = 40;
            const double f = std::min(1.0, double(done) / double(total));
            const int filled = int(f * width);
            std::fprintf(stderr, "\r%-24.24s [%.*s%*s] %3d%%", text.c_str(), filled,
                         "########################################", width - filled, "", int(f * 100));
            impl->drawn = true;
        });
}

Progress::~Progress() {
    QObject::disconnect(mImpl->connection);
    if (mImpl->drawn) std::fprintf(stderr, "\r%*s\r", 80, "");
}

SoundTools::Status LevelMeter::process() {
    const unsigned n = getOutFrameNb();
    const double* in = mInBuffers[0]->getFrame(getInOrigin());
    double* out = mOutBuffers[0]->getFrame(getOutOrigin());
    // Only frames at or after the stream's start count (the lead-in is silence).
    const int skip = std::max(0, getOffset() - getOutOrigin());
    for (unsigned i = 0; i < 2 * n; ++i) {
        out[i] = in[i];
        if (int(i / 2) < skip) continue;
        mPeak = std::max(mPeak, std::fabs(in[i]));
        mSum += in[i] * in[i];
    }
    mFrames += n > unsigned(skip) ? n - unsigned(skip) : 0;
    return SoundTools::Ok;
}

double LevelMeter::peakDb() const { return mPeak > 0 ? 20 * std::log10(mPeak) : -INFINITY; }

double LevelMeter::rmsDb() const {
    return mFrames && mSum > 0 ? 10 * std::log10(mSum / double(2 * mFrames)) : -INFINITY;
}

std::unique_ptr<SoundReader> openReader(const QString& name) {
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(name));
    if (!reader) {
        SoundDebuggableClass::setError("not a sound file name this library reads (wav, flac, ogg, mp3)");
        return nullptr;
    }
    if (reader->open(name) != SoundTools::Ok) return nullptr;
    return reader;
}

std::unique_ptr<SoundWriter> openWriter(const QString& name, unsigned rate, SoundTools::SoundFormat format,
                                        bool overwrite, unsigned bitRate) {
    if (!overwrite && QFileInfo::exists(name)) {
        SoundDebuggableClass::setError("file exists (use -y to overwrite)");
        return nullptr;
    }
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(name, rate, bitRate, format));
    if (!writer) {
        SoundDebuggableClass::setError("no writer for this file name");
        return nullptr;
    }
    if (writer->open(name) != SoundTools::Ok) return nullptr;
    return writer;
}

QString formatDb(double db) { return std::isfinite(db) ? QString::number(db, 'f', 1) + " dB" : QString("-inf dB"); }

}  // namespace cli
