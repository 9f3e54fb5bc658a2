#pragma once
// Readers and writers of the formats libsndfile handles: WAV, FLAC, Ogg Vorbis and
// headerless 32-bit float.
//
// The reader delivers stereo doubles whatever the file holds: mono is widened
// (the same samples left and right); files of three to eight channels are
// mixed down by the ITU-R BS.775 coefficients (front left and right as they
// are, centre to both and each surround to its side at -3 dB, a back centre to
// both at -6 dB, the low-frequency channel left out), by the channel layout the
// file declares or else the usual WAV order for its channel count
// (L R C, L R Ls Rs, L R C Ls Rs, L R C LFE Ls Rs, L R C LFE Cs Ls Rs,
// L R C LFE Lb Rb Ls Rs). The sum is not scaled: loud surround material can
// exceed full scale. Both carry title, album, year, artist and
// comment through the file's string fields; the reader also takes a track
// number from the file name.
//
// Ownership: each object owns its open file; the destructors close it.
// Threading: one thread at a time per object.
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

struct SF_INFO;
namespace SoundTools {
class TpdfDither;
}
struct sf_private_tag;
class OutputFileWatch;

class TONEWRIGHT_API SoundReaderSndfile : public SoundReader {
public:
    SoundReaderSndfile();
    ~SoundReaderSndfile() override;
    SoundReaderSndfile(const SoundReaderSndfile&) = delete;
    SoundReaderSndfile& operator=(const SoundReaderSndfile&) = delete;

    SoundTools::Status open(QString name) override;
    void close() override;
    unsigned getFrameNB() const override;
    int64_t getFrameCount() const override;
    unsigned getSampleRate() const override;
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() const override;
    bool getTags(SoundIDTag& tag) override;
    unsigned getFileChannelNum() const override;
    // A FLAC file whose cover picture is damaged (its fields claim more than
    // its block holds, which libFLAC refuses whole) is opened all the same,
    // with the picture skipped and a warning naming it. An Ogg Vorbis file
    // whose comment block is damaged is refused saying so.
    //
    // Files of up to eight channels are read; more are refused at open.
    static constexpr unsigned kMaxChannels = 8;

protected:
    unsigned read(unsigned count, double* dest) override;
    unsigned readFloats(unsigned count, float* dest) override;

private:
    struct FileView;
    // Frames a read gave (got of count), the failure noted when there is one.
    unsigned checked(int64_t got, unsigned count);

    sf_private_tag* mHandle = nullptr;
    std::unique_ptr<SF_INFO> mInfo;
    std::unique_ptr<FileView> mView;  // what libsndfile reads when a block of the file is skipped
    QString mFileName;
    std::vector<double> mScratch;  // de-interleaving space for files that are not stereo
    std::vector<double> mDownmix;  // left and right weight of each channel of a file of more than two
};

class TONEWRIGHT_API SoundWriterSndfile : public SoundWriter {
public:
    enum FileType { Wav = 0, Raw = 1, Flac = 2, Ogg = 3 };

    SoundWriterSndfile(unsigned sampleRate, unsigned channels, SoundTools::SoundFormat format, FileType type);
    ~SoundWriterSndfile() override;
    SoundWriterSndfile(const SoundWriterSndfile&) = delete;
    SoundWriterSndfile& operator=(const SoundWriterSndfile&) = delete;

    SoundTools::Status open(QString name) override;
    void close() override;
    // Takes effect only on an open file: set tags after open() and before writing.
    // Title, album, date, artist and comment go into libsndfile's string fields;
    // track number and total, genre, cover and extra fields (WAV, FLAC, Ogg) are
    // added when close() has finished the file, beside what libsndfile wrote
    // (the comment reads back through getTags). A cover too large for the
    // container is left out with a warning (SoundTagFile::write).
    void setTags(const SoundIDTag& tag) override;
    unsigned getChannelNum() const override;
    // The libsndfile format code (major format | subtype) this writer asks for.
    int getFormatCode() const;
    // The length of the stream to come, when known: a WAV file that would
    // outgrow the 4 GiB its RIFF header can count is written as RF64 (the WAV
    // layout with 64-bit sizes). Call before open(). A plain WAV file that
    // reaches the limit anyway fails with an error instead of wrapping its sizes.
    void setExpectedFrames(int64_t frames) { mExpectedFrames = frames; }
    // Whether a WAV file of so many frames needs RF64.
    static bool needsRf64(int64_t frames, unsigned channels, SoundTools::SoundFormat format);

protected:
    unsigned write(unsigned count, double* src) override;

private:
    // Integer output through 16-bit values: 16-bit files, and 8-bit files
    // (their samples as multiples of 256), rounded to nearest.
    int64_t writeShorts(unsigned count, const double* src, int bits);
    bool needsFullTags() const;

    sf_private_tag* mHandle = nullptr;
    std::unique_ptr<SF_INFO> mInfo;
    unsigned mChannels;
    QString mFileName;
    std::vector<short> mShorts;  // conversion space for 16-bit output
    std::vector<double> mNoise;  // the dither values of one chunk of it
    std::unique_ptr<SoundTools::TpdfDither> mDitherNoise;  // restarted by open()
    int64_t mExpectedFrames = 0;
    int64_t mDataBytes = 0;      // written so far, counted for a plain WAV file only
    int64_t mWritebackBytes = 0;  // mDataBytes when the disk was last given the file's pages
    bool mSizeLimited = false;   // a plain WAV file: its sizes are 32-bit
    std::unique_ptr<OutputFileWatch> mWatch;  // notices the file being removed while written
    SoundIDTag mTags;  // given to setTags; the fields libsndfile cannot hold are written at close
};
