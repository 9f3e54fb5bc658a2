#include "tonewright/Demo.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "jobs/JobContext.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundOutputFile.h"

namespace tonewright {

namespace {

// The recording of Demo.h, synthesised as it is read.
class DemoRecording : public SoundReader {
public:
    static constexpr unsigned kRate = 44100;
    static constexpr double kSeconds = 44.0;

    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return unsigned(kSeconds * kRate); }
    unsigned getSampleRate() const override { return kRate; }
    void rewind() override {
        mPos = 0;
        mSeed = 12345;
        mPink[0] = mPink[1] = mPink[2] = 0;
        resetAtEnd();
    }
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Pcm16; }
    bool getTags(SoundIDTag& tag) override {
        tag.title = "Demonstration";
        tag.artist = "tonewright";
        tag.album = "Generated recording";
        return true;
    }

protected:
    unsigned read(unsigned count, double* dest) override {
        unsigned n = 0;
        for (; n < count && mPos < getFrameNB(); ++n, ++mPos) {
            const double t = double(mPos) / kRate;
            double l = 0, r = 0;
            if (t >= 1.0 && t < 11.0) {
                warm(t - 1.0, l, r);
            } else if (t >= 15.0 && t < 25.0) {
                bright(t - 15.0, l, r);
            } else if (t >= 25.0 && t < 29.0) {
                l = 0.0002 * white();
                r = 0.0002 * white();
            } else if (t >= 29.0 && t < 43.0) {
                const double fade = t > 38.0 ? std::max(0.0, (43.0 - t) / 5.0) : 1.0;
                full(t - 29.0, l, r);
                l *= fade * fade;
                r *= fade * fade;
            }
            dest[2 * n] = l;
            dest[2 * n + 1] = r;
        }
        return n;
    }

private:
    static double tone(double f, double t) { return std::sin(2 * M_PI * f * t); }

    double white() {
        mSeed = mSeed * 1664525u + 1013904223u;
        return double(mSeed >> 8) / double(1u << 24) * 2.0 - 1.0;
    }
    // Pink-ish noise: three leaky integrators of white noise.
    double pink() {
        const double w = white();
        mPink[0] = 0.99765 * mPink[0] + w * 0.0990460;
        mPink[1] = 0.96300 * mPink[1] + w * 0.2965164;
        mPink[2] = 0.57000 * mPink[2] + w * 1.0526913;
        return (mPink[0] + mPink[1] + mPink[2] + w * 0.1848) * 0.2;
    }

    void warm(double t, double& l, double& r) {
        const double bass = 0.16 * (tone(55, t) + 0.6 * tone(110, t) + 0.3 * tone(165, t));
        const double chord = 0.04 * (tone(220, t) + tone(277.2, t) + tone(329.6, t));
        l = bass + chord;
        r = bass + 0.8 * chord;
    }
    void bright(double t, double& l, double& r) {
        const double partials = 0.018 * (tone(2500, t) + 0.7 * tone(4200, t) + 0.5 * tone(6300, t));
        l = partials + 0.012 * white();
        r = partials + 0.012 * white();
    }
    void full(double t, double& l, double& r) {
        const double mids = 0.12 * (tone(440, t) + 0.5 * tone(660, t)) + 0.1 * tone(82.4, t);
        l = mids + 0.35 * pink();
        r = mids + 0.35 * pink();
    }

    unsigned mPos = 0;
    uint32_t mSeed = 12345;
    double mPink[3] = {0, 0, 0};
};

}  // namespace

JobResult<DemoRecordingReport> makeDemoRecording(const std::filesystem::path& output, const JobControl& control) {
    if (output.empty()) return JobError{JobError::Kind::Setting, "output", "is not a valid setting", "no file named"};
    detail::JobContext ctx(control, 1);
    const QString path = detail::qpath(output);
    const QString what = "cannot write the generated recording";
    DemoRecording source;
    detail::clearError();
    if (!detail::mayWrite(ctx, path)) {
        ctx.fail(JobError::Kind::Output, path, what, detail::lastError());
        return ctx.error();
    }
    SoundOutputFile file(path);
    std::unique_ptr<SoundWriter> writer;
    if (file.ok())
        writer = detail::openWriter(ctx, file.path(), DemoRecording::kRate,
                                    detail::formatFor(QFileInfo(path).suffix(), SoundTools::Pcm16), 192, 2,
                                    source.getFrameNB());
    if (!writer) {
        ctx.fail(JobError::Kind::Output, path, what, detail::lastError());
        return ctx.error();
    }
    SoundIDTag tag;
    source.getTags(tag);
    writer->setTags(tag);
    auto copy = SoundRef<SoundAlgoBypass>::make();
    if (!detail::runPass(ctx, *copy, source, writer.get(), path, "write the generated recording")) return ctx.error();
    writer.reset();
    detail::clearError();
    if (!file.commit(ctx.overwrite())) {
        ctx.fail(JobError::Kind::Output, path, what, detail::lastError());
        return ctx.error();
    }
    DemoRecordingReport report;
    report.file = output;
    report.sampleRate = DemoRecording::kRate;
    report.frames = source.getFrameNB();
    return report;
}

}  // namespace tonewright
