#pragma once
// SoundAlgo: base class of every processing algorithm, and the block loop.
//
// An algorithm owns its input and output buffers (ports), knows its neighbours in
// a chain, and derives from its delay and overlaps where each block of input and
// output lies on the stream's timeline. Subclasses override process() and the
// shape and timing queries that differ from the defaults.
//
// Ownership: algorithms carry an intrusive reference count (SoundRefCounted). The
// creator holds the first reference; containers take over or take references.
// Buffers are std::shared_ptr, shared with the neighbours (no copies in a chain).
//
// Threading: build a graph and run it on one thread. pleaseStop() may be called
// from any thread (it takes effect at the end of the current block). Signals are
// emitted on the loop's thread. Composites run parallel branches on OpenMP
// worker threads inside process().
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundRefCounted.h"
#include "tonewright/SoundTools.h"
#include "tonewright/SoundWriter.h"

class TONEWRIGHT_API SoundAlgo : public QObject, public SoundDebuggableClass, public SoundRefCounted {
    Q_OBJECT
public:
    // State of one run of the block loop, owned by the caller of the loop steps.
    struct LoopContext {
        unsigned inOverlap = 0;
        unsigned delay = 0;
        unsigned outOverlap = 0;
        unsigned sampleRate = 0;
        unsigned frameNbToProcess = 0;
        unsigned frameNbProcessed = 0;
        unsigned channelNb = 2;
        int startOffset = 0;
        unsigned bufferSize = 0;
        int pendingRotate = 0;  // frames to drop from the output buffers before the next block
        std::shared_ptr<SoundBuffer> inBuffer;
        std::shared_ptr<SoundBuffer> outBuffer;
        SoundTools::Status status = SoundTools::Ok;
        // Stream position (exclusive) after which output is only the flushing of
        // end-of-stream padding: the reader's last frame plus the delay. Known once
        // the reader has reached its end; nothing beyond it goes to the writer.
        int streamEnd = 0;
        bool streamEndKnown = false;
    };

    // Rebuilds one class from its JSON description. Builders are registered once
    // and live for the life of the process.
    class TONEWRIGHT_API SoundAlgoJSonBuilder {
    public:
        virtual SoundAlgo* build(QJsonObject& object) = 0;
        virtual QString getClassName() = 0;

    protected:
        ~SoundAlgoJSonBuilder() = default;
    };

    SoundAlgo();
    explicit SoundAlgo(QString id);
    ~SoundAlgo() override;

    // Runs the whole stream from the reader's position; writer may be null.
    SoundTools::Status processAll(SoundReader& reader, SoundWriter* writer);

    // Stream positions are 32-bit: the longest stream a run carries, with room
    // left for the padding and the blocks that flush it (2^24 frames). A longer
    // stream (or one read past this point when its length is not known) is
    // refused with an error, never wrapped.
    static constexpr int64_t kMaxStreamFrames = int64_t(2147483647) - (int64_t(1) << 24);
    SoundTools::Status initProcessLoop(SoundReader& reader, LoopContext& ctx);
    SoundTools::Status singleProcessLoop(SoundReader& reader, LoopContext& ctx, SoundWriter* writer);
    int endProcessLoop(LoopContext& ctx);

    std::shared_ptr<SoundBuffer> getInBuffer(unsigned i) { return mInBuffers[i]; }
    std::shared_ptr<SoundBuffer> getOutBuffer(unsigned i) { return mOutBuffers[i]; }

    // The class name, followed by "(id)" when an id is set.
    virtual QString getName();
    QString getId() const { return mId; }
    void setId(QString id) { mId = std::move(id); }
    unsigned getSampleRate() const { return mSampleRate; }

    virtual void writeToJSon(QJsonObject& object) const;
    virtual int getOffset() { return mOffset; }
    virtual void debugBuffers();

    virtual SoundTools::Status process() = 0;
    virtual unsigned getInputNumber() const { return 1; }
    virtual unsigned getOutputNumber() const { return 1; }
    virtual unsigned getInFrameSize() const { return 1; }
    virtual unsigned getOutFrameSize() const { return 1; }
    virtual unsigned getInElementSize() const { return 1; }
    virtual unsigned getOutElementSize() const { return 1; }
    // Frames the output lies later on the timeline; for the algorithm a loop
    // drives, the zero frames placed before the stream.
    virtual unsigned getDelay(unsigned sr) const;
    // Zero frames fed once at the end of the stream so the algorithm can flush.
    virtual unsigned getSampleShift(unsigned sr) const;
    // Frames of the previous input block kept at the front of each new one.
    virtual unsigned getInOverlap(unsigned sr) const;
    // Frames at the end of each output block that are not final yet.
    virtual unsigned getOutOverlap(unsigned sr) const;
    virtual unsigned getOutBufferOverlap(unsigned sr) const;
    virtual SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next);
    virtual SoundTools::Status initInputBuffer(const LoopContext& ctx);
    virtual SoundTools::Status initOutputBuffer(const LoopContext& ctx);
    virtual void setOutOrigin();
    virtual void updateOutput(unsigned rotateBy);
    virtual unsigned getPreferredBufferSize(unsigned sr) const;
    // Releases the buffers and the neighbours. Analysis algorithms override it to
    // finish their results, calling this base version.
    virtual void endProcess(int status, unsigned frameNbProcessed);
    virtual int getOutOrigin() const;

    // JSON registry.
    static QHash<QString, SoundAlgoJSonBuilder*>& jsonBuilders();
    static void declareBuilder(SoundAlgoJSonBuilder* builder);
    static SoundAlgo* createFromJSon(QJsonObject object);
    // The caller owns the returned algorithms (one reference each).
    static std::vector<SoundAlgo*> createFromJSon(QJsonArray array);

signals:
    void notifyBegin(unsigned aFrameNBToProcess);
    void notifyInProgress(unsigned aFrameNBProcessed, unsigned aFrameNBToProcess);
    void notifyEnd(int aStatus);

public slots:
    void pleaseStop() { mStopRequested.store(true, std::memory_order_relaxed); }

protected:
    virtual bool readFromJSon(QJsonObject& object);

    std::shared_ptr<SoundBuffer> getOutPort(unsigned i) { return mOutBuffers[mOutPortOffset + i]; }
    unsigned getOutPortNumber() const { return getOutputNumber() - mOutPortOffset; }
    void setOutPortOffset(unsigned offset) { mOutPortOffset = offset; }
    // Largest origin among the input buffers.
    int getInOrigin() const;
    // Frames process() may consume, from getInOrigin().
    unsigned getInFrameNb() const;
    // Frames process() must produce, from getOutOrigin().
    unsigned getOutFrameNb() const;
    // Shares the other algorithm's input buffers (composites let branches read
    // the composite's own inputs this way).
    SoundTools::Status useInputs(SoundAlgo* other);
    bool stopRequested() const { return mStopRequested.load(std::memory_order_relaxed); }

    std::vector<std::shared_ptr<SoundBuffer>> mInBuffers;
    std::vector<std::shared_ptr<SoundBuffer>> mOutBuffers;
    unsigned mOutPortOffset = 0;
    unsigned mSampleRate = 0;
    SoundAlgo* mPrevAlgo = nullptr;  // not owned
    SoundAlgo* mNextAlgo = nullptr;  // not owned
    int mOffset = 0;
    std::atomic<bool> mStopRequested{false};
    QString mId;

    friend class SoundAlgoComposite;
};
