#pragma once
// SoundWriterMultiFile: cuts one processed stream into one file per stretch of
// sound, using the regions an RMSStepDetector found in an earlier analysis of
// the same stream. Frames in noise regions are not written; each run of
// non-noise regions that lasts at least the minimum duration becomes its own
// file, named after the name given to open() with a running number
// ("Side A.wav" gives "001-Side A.wav", "002-Side A.wav", ...); shorter runs
// are dropped. Each segment is written by the ordinary writer that
// SoundWriter::getFromFilename picks for the extension.
//
// Every frame given to the writer is accounted for: written to a segment file,
// skipped as digital silence at the start of a segment, dropped as noise, or
// dropped as part of a stretch too short to become a file.
//
// Ownership: holds one reference on the detector from construction to
// destruction; owns the segment writer it has open.
//
// Threading: driven by one thread (the processing loop). It reads the
// detector's regions through its locked queries; the detector should hold a
// finished analysis.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <string>

#include "tonewright/Export.h"
#include "tonewright/RMSStepDetector.h"
#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundRefCounted.h"
#include "tonewright/SoundWriter.h"

class TONEWRIGHT_API SoundWriterMultiFile : public SoundWriter {
public:
    // minDuration in seconds; bitRate (kbit/s) is for MP3 segments, format for
    // the libsndfile ones.
    SoundWriterMultiFile(RMSStepDetector* detector, double minDuration, unsigned sampleRate, unsigned channels = 2,
                         unsigned bitRate = 192, SoundTools::SoundFormat format = SoundTools::Pcm16);
    ~SoundWriterMultiFile() override;
    SoundWriterMultiFile(const SoundWriterMultiFile&) = delete;
    SoundWriterMultiFile& operator=(const SoundWriterMultiFile&) = delete;

    // Keeps the name that segment names are built from. Creates no file, but
    // refuses (Error, with a message) a detector without regions or of another
    // sample rate, a minimum duration that is not positive, an empty base name,
    // an extension no writer handles and a folder that does not exist or cannot
    // be written to; every later write then fails.
    SoundTools::Status open(QString name) override;
    // Finishes the segment file being written, if any.
    void close() override;
    // Given to every segment file, with the track set to the segment's number,
    // when at least one text field is set.
    void setTags(const SoundIDTag& tag) override;
    unsigned getChannelNum() const override { return mChannels; }

    // Segment files finished so far.
    int GetWrittenFiles() const { return mFileNumber - 1; }
    // Their names, in order.
    QStringList getFileNames() const { return mFiles; }
    // The name segment k (from 1) gets; empty before a successful open().
    QString getSegmentName(int k) const;

    // Frame accounting, in frames of the stream.
    int64_t getFramesInFiles() const { return mFramesInFiles; }
    int64_t getFramesSkippedSilence() const { return mFramesSkippedSilence; }
    int64_t getFramesDroppedNoise() const { return mFramesDroppedNoise; }
    int64_t getFramesDroppedShort() const { return mFramesDroppedShort; }
    // Frames that reached a segment file which then failed and was removed.
    // In files + skipped + dropped + lost = the frames consumed (getCurrentOffset).
    int64_t getFramesLost() const { return mFramesLost; }
    // Frames counted by the segment files closed so far (their leading silence included).
    int32_t getFramesWritten() const { return mFramesWritten; }

protected:
    unsigned write(unsigned count, double* src) override;

private:
    SoundTools::Status checkAndKeep(const QString& name);
    SoundTools::Status OpenSegment();
    // Removes the segment being written after a failure: no half-written file stays.
    void abandonSegment(const QString& why);
    int64_t stretchLength() const;

    int32_t mNextRegion = 1;
    RMSStepDetector::Region mCurrentRegion;
    std::unique_ptr<SoundWriter> mSegment;
    unsigned mChannels;
    unsigned mBitRate;
    std::string mDrive, mFolder, mBase, mExtension, mFileName;
    bool mRootFolder = false;
    SoundRef<RMSStepDetector> mDetector;  // the region source
    int32_t mFileNumber = 1;
    double mMinDuration;
    int32_t mFramesWritten = 0;
    SoundIDTag mTags;
    SoundTools::SoundFormat mFormat;
    bool mSoundStarted = false;

    bool mReady = false;  // open() accepted the name and the settings
    QString mRefusal;     // why it did not
    QString mSegmentName;
    QStringList mFiles;
    int64_t mFramesInFiles = 0;
    int64_t mSegmentFrames = 0;  // frames of the open segment already in its file
    int64_t mFramesSkippedSilence = 0;
    int64_t mFramesDroppedNoise = 0;
    int64_t mFramesDroppedShort = 0;
    int64_t mFramesLost = 0;
};
