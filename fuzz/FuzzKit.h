#pragma once
// Shared by the fuzz targets: quiet diagnostics, a per-process scratch file that
// carries the input bytes to readers that only take file names, and a short
// stream to make seeds from and to run algorithms built from fuzzed
// descriptions over.
//
// Each target is a separate program with one LLVMFuzzerTestOneInput; libFuzzer
// calls it on one thread, so the helpers keep plain process-wide state.
#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

#include "tonewright/SoundReader.h"

class SoundAlgo;

namespace twfuzz {

// Discards Qt messages and the library's diagnostic text (the fuzzed inputs make
// every reader complain), once per process.
void quiet();

// Writes the bytes to <scratch folder>/<name> and returns the full path. The
// folder is made once per process and removed when it exits.
QString writeScratch(const QString& name, const uint8_t* data, size_t size);
QString scratchPath(const QString& name);

// A stereo stream: a loud tone, a quiet stretch, a loud tone again, so that
// detectors find several regions and some noise. Used to make seeds and to run
// algorithms rebuilt from fuzzed descriptions.
class ToneReader : public SoundReader {
public:
    ToneReader(unsigned frames, unsigned rate);
    SoundTools::Status open(QString) override { return SoundTools::Ok; }
    void close() override {}
    unsigned getFrameNB() const override { return mFrames; }
    unsigned getSampleRate() const override { return mRate; }
    void rewind() override { mPos = 0; }
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Double; }

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    unsigned mFrames, mRate, mPos = 0;
};

// Runs the algorithm over `frames` frames of a fixed stereo signal at `rate` Hz
// with a writer that checks every frame it is given is finite or not, and counts
// them; returns the frames written. Used to show that an algorithm rebuilt from
// a description can also run. Not run (-1) when the algorithm holds back more
// than kMaxRunOverlap frames (overlap, delay and shift together).
constexpr uint64_t kMaxRunOverlap = uint64_t(1) << 18;  // 6 s at 44.1 kHz
long long runShortStream(SoundAlgo& algo, unsigned frames, unsigned rate);

}  // namespace twfuzz
