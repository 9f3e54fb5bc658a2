#include "tonewright/SoundWriter.h"

#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundFileName.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundMp3.h"
#include "tonewright/SoundSndfile.h"

SoundWriter::~SoundWriter() = default;

void SoundWriter::setTags(const SoundIDTag&) {}

SoundTools::Status SoundWriter::writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned holdBack) {
    int s = buffer->getStartPoint();
    if (s > mRangeEnd) return SoundTools::Ok;
    if (s - mRangeStart > mCurrentOffset)
        mRangeStart = s - mCurrentOffset;  // skip the gap, never fill it with silence
    else
        s = mRangeStart + mCurrentOffset;
    if (s > mRangeEnd) return SoundTools::Ok;
    if (buffer->getSampleRate() != mSampleRate) {
        setError("SoundWriter::WriteBuffer : Samplerate conversion not implemented");
        return SoundTools::Error;
    }
    const bool toMono = buffer->getChannelNum() == 2 && getChannelNum() == 1;
    if (buffer->getChannelNum() != getChannelNum() && !toMono) {
        setError("SoundWriter::WriteBuffer : Incorrect number of channels");
        return SoundTools::Error;
    }
    int64_t count = int64_t(buffer->getOrigin()) + buffer->getFrameNB() - holdBack - s;
    if (s + count > mRangeEnd) count = int64_t(mRangeEnd) - s;
    if (count <= 0) return SoundTools::Ok;
    double* frames = buffer->getFrame(s);
    if (toMono) {
        mMono.resize(size_t(count));
        for (size_t i = 0; i < size_t(count); ++i) mMono[i] = 0.5 * (frames[2 * i] + frames[2 * i + 1]);
        frames = mMono.data();
    }
    const unsigned written = write(unsigned(count), frames);
    mCurrentOffset += int(written);
    if (int64_t(written) != count) {
        mFailed = true;
        return SoundTools::Error;
    }
    return SoundTools::Ok;
}

SoundWriter* SoundWriter::getFromFilename(QString fileName, unsigned sampleRate, unsigned bitRate,
                                          SoundTools::SoundFormat format) {
    return getFromFilename(fileName, sampleRate, bitRate, format, 2);
}

SoundWriter* SoundWriter::getFromFilename(QString fileName, unsigned sampleRate, unsigned bitRate,
                                          SoundTools::SoundFormat format, unsigned channels) {
    if (fileName.isEmpty() || (channels != 1 && channels != 2)) return nullptr;
    const std::string ext = SoundTools::lowerExtension(fileName);
    if (ext.empty()) return nullptr;
    // The bit rate is for MP3 output only, the sample format for the others.
    // The format table names the writer; any name without one gets headerless floats.
    const tonewright::SoundFileFormat* known = tonewright::formatOfExtension(ext);
    const tonewright::WriterKind kind = known ? known->writer : tonewright::WriterKind::None;
    if (kind == tonewright::WriterKind::Mp3)
        return std::make_unique<SoundWriterMp3>(sampleRate, channels, bitRate).release();
    SoundWriterSndfile::FileType type = SoundWriterSndfile::Raw;
    if (kind == tonewright::WriterKind::Wav)
        type = SoundWriterSndfile::Wav;
    else if (kind == tonewright::WriterKind::Flac)
        type = SoundWriterSndfile::Flac;
    else if (kind == tonewright::WriterKind::Ogg)
        type = SoundWriterSndfile::Ogg;
    return std::make_unique<SoundWriterSndfile>(sampleRate, channels, format, type).release();
}
