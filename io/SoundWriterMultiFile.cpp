#include "tonewright/SoundWriterMultiFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <ostream>

#include "tonewright/SoundUnits.h"
#include "tonewright/SoundFileName.h"

namespace {
const char* const kWho = "SoundWriterMultiFile";

bool isRunChar(char c) { return (c >= '0' && c <= '9') || c == '_' || c == '-' || c == ' '; }
}  // namespace

SoundWriterMultiFile::SoundWriterMultiFile(RMSStepDetector* detector, double minDuration, unsigned sampleRate,
                                           unsigned channels, unsigned bitRate, SoundTools::SoundFormat format)
    : SoundWriter(sampleRate),
      mChannels(channels),
      mBitRate(bitRate),
      mDetector(SoundRef<RMSStepDetector>::share(detector)),
      mMinDuration(minDuration),
      mFormat(format) {
    if (mDetector && mDetector->size() > 0) mCurrentRegion = mDetector->getRegion(0);
}

SoundWriterMultiFile::~SoundWriterMultiFile() {
    // An open segment is finished by its own writer's destructor; its frames are
    // not added to the count, since close() was never called on this writer.
    mSegment.reset();
    if (isVerbose())
        getOStream() << SoundTools::timeText(mFramesWritten, getSampleRate()) << " in " << mFileNumber - 1
                     << " file(s) written" << std::endl;
}

QString SoundWriterMultiFile::getSegmentName(int k) const {
    if (mBase.empty()) return QString();
    std::string name;
    if (!mDrive.empty()) name += mDrive + ":";
    name += mFolder;
    // A name directly under the root keeps its root: "/rec.wav" gives
    // "/001-rec.wav", not a name relative to the working folder.
    if (!mFolder.empty() || mRootFolder) name += "/";
    size_t i = 0;
    int digits = 0;
    char separator = '-';
    while (i < mBase.size() && isRunChar(mBase[i])) {
        if (mBase[i] >= '0' && mBase[i] <= '9')
            ++digits;
        else
            separator = mBase[i];
        ++i;
    }
    char number[32];
    std::snprintf(number, sizeof number, "%0*d", digits ? digits : 3, k);
    name += number;
    name += separator;
    name += mBase.substr(i);
    if (!mExtension.empty()) name += "." + mExtension;
    return QFile::decodeName(name.c_str());
}

SoundTools::Status SoundWriterMultiFile::open(QString name) {
    const SoundTools::Status status = checkAndKeep(name);
    mReady = status == SoundTools::Ok;
    mRefusal = mReady ? QString() : getError();
    return status;
}

SoundTools::Status SoundWriterMultiFile::checkAndKeep(const QString& name) {
    const SoundTools::FileNameParts parts = SoundTools::splitFileName(name);
    mFileName = parts.name;
    mDrive = parts.drive;
    mFolder = parts.folder;
    mBase = parts.base;
    mExtension = parts.extension;
    const std::string afterDrive = mDrive.empty() ? parts.name : parts.name.substr(mDrive.size() + 1);
    mRootFolder = mFolder.empty() && !afterDrive.empty() && afterDrive.find('/') != std::string::npos;

    if (mBase.empty()) {
        setError(QString("%1: empty base name, no segment file name can be built").arg(name), kWho);
        return SoundTools::Error;
    }
    if (!mDetector) {
        setError(QString("%1: no region detector given").arg(name), kWho);
        return SoundTools::Error;
    }
    if (mDetector->size() == 0) {
        setError(QString("%1: the region detector holds no regions; analyse the stream first").arg(name), kWho);
        return SoundTools::Error;
    }
    if (mDetector->getSampleRate() != 0 && mDetector->getSampleRate() != getSampleRate()) {
        setError(QString("%1: regions were found at %2 Hz but the stream is at %3 Hz")
                     .arg(name)
                     .arg(mDetector->getSampleRate())
                     .arg(getSampleRate()),
                 kWho);
        return SoundTools::Error;
    }
    if (!(mMinDuration > 0)) {
        setError(QString("%1: the minimum duration must be positive (got %2 s)").arg(name).arg(mMinDuration), kWho);
        return SoundTools::Error;
    }
    std::string folder = mDrive.empty() ? std::string() : mDrive + ":";
    folder += mFolder;
    if (mFolder.empty() && mRootFolder) folder += "/";
    const QString folderName = folder.empty() ? QStringLiteral(".") : QFile::decodeName(folder.c_str());
    const QFileInfo info(folderName);
    if (!info.exists()) {
        setError(QString("%1: folder %2 does not exist").arg(name, folderName), kWho);
        return SoundTools::Error;
    }
    if (!info.isDir()) {
        setError(QString("%1: %2 is not a folder").arg(name, folderName), kWho);
        return SoundTools::Error;
    }
    if (!info.isWritable()) {
        setError(QString("%1: folder %2 is not writable").arg(name, folderName), kWho);
        return SoundTools::Error;
    }
    // Only asks which writer the extension gets; nothing is created.
    std::unique_ptr<SoundWriter> probe(
        SoundWriter::getFromFilename(getSegmentName(1), getSampleRate(), mBitRate, mFormat, mChannels));
    if (!probe) {
        setError(QString("%1: no writer handles the extension \"%2\"")
                     .arg(name, QFile::decodeName(mExtension.c_str())),
                 kWho);
        return SoundTools::Error;
    }
    return SoundTools::Ok;
}

void SoundWriterMultiFile::setTags(const SoundIDTag& tag) { mTags = tag; }

SoundTools::Status SoundWriterMultiFile::OpenSegment() {
    if (mSegment) close();
    mSegmentName = getSegmentName(mFileNumber);
    mSegment.reset(SoundWriter::getFromFilename(mSegmentName, getSampleRate(), mBitRate, mFormat, mChannels));
    if (!mSegment) {
        setError(mSegmentName.isEmpty() ? QString("no segment file name: open() was not given a usable name")
                                        : QString("%1: no writer for this extension").arg(mSegmentName),
                 kWho);
        return SoundTools::Error;
    }
    mSegment->setDither(isDitherOn());
    const SoundTools::Status status = mSegment->open(mSegmentName);
    if (status != SoundTools::Ok) {
        // The segment writer has reported why, naming the file.
        mSegment.reset();
        return status;
    }
    // Tags go in after the file is open: the libsndfile writer can only take
    // them on an open file, and would otherwise drop them without a word.
    if (mTags.hasText()) {
        mTags.track = std::to_string(mFileNumber);
        mSegment->setTags(mTags);
    }
    mSoundStarted = false;
    return SoundTools::Ok;
}

void SoundWriterMultiFile::abandonSegment(const QString& why) {
    if (!mSegment) return;
    const QString name = mSegmentName;
    mSegment->close();
    mSegment.reset();
    QFile::remove(name);
    mFramesInFiles -= mSegmentFrames;
    mFramesLost += mSegmentFrames;
    mSegmentFrames = 0;
    markFailed();
    setError(QString("%1: %2; the incomplete file was removed").arg(name, why), kWho);
}

void SoundWriterMultiFile::close() {
    if (!mSegment) return;
    const int32_t frames = mSegment->getCurrentOffset();
    if (isVerbose())
        getOStream() << "File " << mFileNumber << " : " << SoundTools::timeText(frames, getSampleRate())
                     << " written" << std::endl;
    mSegment->close();
    if (mSegment->hasFailed()) {
        const QString name = mSegmentName;
        mSegment.reset();
        QFile::remove(name);
        mFramesInFiles -= mSegmentFrames;
        mFramesLost += mSegmentFrames;
        mSegmentFrames = 0;
        markFailed();
        setError(QString("%1: the file could not be finished; the incomplete file was removed").arg(name), kWho);
        return;
    }
    mFramesWritten += frames;
    mSegmentFrames = 0;
    mFiles << mSegmentName;
    mSegment.reset();
    ++mFileNumber;
}

int64_t SoundWriterMultiFile::stretchLength() const {
    int64_t length = mCurrentRegion.SampleNb;
    const int count = mDetector->size();
    for (int i = mNextRegion; i < count; ++i) {
        const RMSStepDetector::Region r = mDetector->getRegion(i);
        if (r.IsNoise) break;
        length += r.SampleNb;
    }
    return length;
}

unsigned SoundWriterMultiFile::write(unsigned count, double* src) {
    if (!mReady || !mDetector) {
        // Say again why open() refused, so the failing run reports the cause.
        setError(mRefusal.isEmpty() ? QString("%1 : write before open(): nothing written").arg(kWho) : mRefusal);
        return 0;
    }
    // The writer's range start plus what it has consumed is the stream position
    // of src's first frame.
    int64_t p = int64_t(mRangeStart) + mCurrentOffset;
    int64_t rest = count;
    unsigned consumed = 0;
    const unsigned stride = mChannels;
    while (rest > 0) {
        const RMSStepDetector::Region& R = mCurrentRegion;
        int64_t n = std::min<int64_t>(int64_t(R.BeginSample) + R.SampleNb - p, rest);
        if (n < 1) {
            if (mNextRegion < mDetector->size()) {
                mCurrentRegion = mDetector->getRegion(mNextRegion++);
                continue;
            }
            n = rest;  // past the last region: the frames belong to it
        }
        if (R.IsNoise) {
            close();
            mFramesDroppedNoise += n;
        } else {
            if (!mSegment) {
                if (double(stretchLength()) / double(getSampleRate()) < mMinDuration) {
                    mFramesDroppedShort += n;
                    p += n;
                    src += n * stride;
                    rest -= n;
                    consumed += unsigned(n);
                    continue;
                }
                if (OpenSegment() != SoundTools::Ok) {
                    markFailed();
                    return consumed;
                }
            }
            int64_t skip = 0;
            if (!mSoundStarted) {
                // Digital silence at the start of a piece is not written; a frame
                // counts as silent only when both of its samples are exactly zero.
                // Testing the larger sample alone would also drop frames whose one
                // channel is silent and whose other is negative: sound, lost.
                while (skip < n) {
                    bool silent = true;
                    for (unsigned c = 0; c < stride; ++c) silent = silent && src[skip * stride + c] == 0.0;
                    if (!silent) break;
                    ++skip;
                }
                if (skip < n) mSoundStarted = true;
                mFramesSkippedSilence += skip;
            }
            const int64_t toWrite = n - skip;
            const unsigned written = toWrite > 0 ? mSegment->write(unsigned(toWrite), src + skip * stride) : 0u;
            if (int64_t(written) < toWrite || mSegment->hasFailed()) {
                mSegment->mCurrentOffset += int32_t(written);
                mFramesInFiles += written;
                mSegmentFrames += written;
                abandonSegment(QString("only %1 of %2 frames could be written").arg(written).arg(toWrite));
                return consumed + unsigned(skip) + written;
            }
            mSegment->mCurrentOffset += int32_t(n);
            mFramesInFiles += written;
            mSegmentFrames += written;
        }
        p += n;
        src += n * stride;
        rest -= n;
        consumed += unsigned(n);
    }
    return consumed;
}
