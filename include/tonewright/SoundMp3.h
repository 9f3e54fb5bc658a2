#pragma once
// MP3 input and output.
//
// SoundReaderMp3 decodes with mpg123 into 16-bit stereo (mono files give two equal
// channels) and converts to doubles; it reads the ID3 tags and the first embedded
// picture once, at open, and hands them out through getTags.
//
// SoundWriterMp3 encodes with LAME, which is loaded at run time: where LAME is
// absent the library still works but open() refuses MP3 output. The tags and the
// cover picture given to setTags are written as an ID3v2 tag when the writer is
// closed.
//
// Ownership: each object owns its decoder or encoder and its open file; the
// destructors close them. The loaded LAME library stays in the process.
// Threading: one thread at a time per object. Loading LAME happens once per
// process, on the first writer constructed or the first Init(), and is guarded.
#include <QString>
#include <cstdio>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

struct mpg123_handle_struct;
struct lame_global_struct;
class OutputFileWatch;

class TONEWRIGHT_API SoundReaderMp3 : public SoundReader {
public:
    SoundReaderMp3();
    ~SoundReaderMp3() override;
    SoundReaderMp3(const SoundReaderMp3&) = delete;
    SoundReaderMp3& operator=(const SoundReaderMp3&) = delete;

    // Initialises the decoder library; the constructor does it too.
    static void init();

    SoundTools::Status open(QString name) override;
    void close() override;
    // Exact length in frames (the whole file is scanned at open); 0 when closed.
    unsigned getFrameNB() const override;
    int64_t getFrameCount() const override;
    unsigned getSampleRate() const override;
    // Channels of the file itself (1 or 2; the reader delivers stereo); 0 when closed.
    unsigned getFileChannelNum() const override;
    // To the start point; a start point beyond the end leaves the reader at the end.
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() const override { return SoundTools::Pcm16; }
    // Title, artist, album, comment and genre as UTF-8; year and track as
    // decimal numbers ("0" when absent); the first attached picture. True when
    // any text field is set, which holds for every file whose tags could be read.
    bool getTags(SoundIDTag& tag) override;

protected:
    unsigned read(unsigned count, double* dest) override;

private:
    // Release the C handles: the decoder is closed and deleted, the file closed.
    struct DecoderRelease {
        void operator()(mpg123_handle_struct* handle) const;
    };
    struct FileRelease {
        void operator()(FILE* file) const;
    };
    using Decoder = std::unique_ptr<mpg123_handle_struct, DecoderRelease>;
    using InputFile = std::unique_ptr<FILE, FileRelease>;

    SoundTools::Status openInput(const QString& name, const QByteArray& utf8, InputFile& input, QByteArray& opened);
    SoundTools::Status startDecoder(FILE* input, const QByteArray& utf8, Decoder& decoder);
    SoundTools::Status readFormat(mpg123_handle_struct* decoder, const QByteArray& utf8, long& rate);
    SoundTools::Status checkComplete(const QByteArray& utf8);
    void readTags(const QByteArray& encodedName);

    // Declared before the decoder, which reads it: the decoder goes first.
    InputFile mInput;  // the file the decoder reads
    Decoder mHandle;
    unsigned mSampleRate = 0;
    unsigned mFileChannels = 0;
    std::vector<short> mSamples;  // decoded 16-bit stereo, reused between reads
    SoundIDTag mTags;
    QString mFileName;
};

class TONEWRIGHT_API SoundWriterMp3 : public SoundWriter {
public:
    // channels: 1 or 2 (the factory gives 2); bitRate in kbit/s, constant.
    SoundWriterMp3(unsigned sampleRate, unsigned channels, unsigned bitRate);
    ~SoundWriterMp3() override;
    SoundWriterMp3(const SoundWriterMp3&) = delete;
    SoundWriterMp3& operator=(const SoundWriterMp3&) = delete;

    // Loads LAME if that has not been tried yet; true when it is usable.
    static bool Init();
    // True when LAME has been loaded and is usable (never loads).
    static bool IsInit();
    // The version text of the loaded LAME ("unknown" when it does not say), or
    // null when LAME is not usable. Loads LAME if that has not been tried yet.
    static const char* lameVersion();

    // Fails without LAME, when the file cannot be created, or when the encoder
    // refuses the rate, channel count or bit rate. A writer is opened once.
    SoundTools::Status open(QString name) override;
    // Flushes the encoder, completes the stream's info header (exact length and
    // encoder delay, so that decoders play it gaplessly), closes the file and
    // writes the tags. The encoder is released: the writer cannot be reopened.
    void close() override;
    // Stored and written at close; may be called any time before close.
    void setTags(const SoundIDTag& tag) override;
    // The encoder's channel count; 0 without an encoder (LAME absent, or closed).
    unsigned getChannelNum() const override;

    // The 16-bit sample the encoder receives for a sample in [-1, 1]: 95 % of
    // full scale, truncated toward zero, saturated at the 16-bit limits.
    static short toPcm16(double sample);

protected:
    unsigned write(unsigned count, double* src) override;

private:
    bool writeBytes(const unsigned char* data, size_t size, const char* context);
    void writeTags();

    FILE* mFile = nullptr;
    lame_global_struct* mLame = nullptr;
    std::vector<unsigned char> mMp3Buffer;
    std::vector<short> mLeft, mRight;
    SoundIDTag mTags;
    QString mFileName;
    QByteArray mEncodedName;  // the name as passed to fopen
    bool mParamsReady = false;
    bool mClosed = false;
    std::unique_ptr<OutputFileWatch> mWatch;  // notices the file being removed while written
};
