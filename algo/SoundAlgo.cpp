#include "tonewright/SoundAlgo.h"

#include <QDebug>
#include <QMessageLogger>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cxxabi.h>
#include <ostream>
#include <typeinfo>

#include "core/SoundFlushDenormals.h"

SoundAlgo::SoundAlgo() = default;

SoundAlgo::SoundAlgo(QString id) : mId(std::move(id)) {}

SoundAlgo::~SoundAlgo() = default;

QString SoundAlgo::getName() {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    QString name = QString::fromUtf8(status == 0 && demangled ? demangled : mangled);
    std::free(demangled);  // allocated by the C++ runtime with malloc
    if (!mId.isEmpty()) name += "(" + mId + ")";
    return name;
}

// ---------------------------------------------------------------- timing defaults

unsigned SoundAlgo::getDelay(unsigned) const { return 0; }
unsigned SoundAlgo::getSampleShift(unsigned sr) const { return getInOverlap(sr); }
unsigned SoundAlgo::getInOverlap(unsigned) const { return 0; }
unsigned SoundAlgo::getOutOverlap(unsigned) const { return 0; }

unsigned SoundAlgo::getOutBufferOverlap(unsigned sr) const {
    return getOutOverlap(sr) + (mNextAlgo ? mNextAlgo->getInOverlap(sr) : 0);
}

unsigned SoundAlgo::getPreferredBufferSize(unsigned sr) const {
    return std::max({SoundBuffer::sSize, getOutBufferOverlap(sr) + getSampleShift(sr), getInOverlap(sr)});
}

int SoundAlgo::getOutOrigin() const {
    return int(getDelay(mSampleRate)) + getInOrigin() - int(getOutOverlap(mSampleRate));
}

int SoundAlgo::getInOrigin() const {
    int origin = INT_MIN;
    const size_t n = std::min<size_t>(getInputNumber(), mInBuffers.size());
    for (size_t i = 0; i < n; ++i)
        if (mInBuffers[i]) origin = std::max(origin, mInBuffers[i]->getOrigin());
    return origin == INT_MIN ? 0 : origin;
}

unsigned SoundAlgo::getInFrameNb() const {
    const int inOrigin = getInOrigin();
    int64_t frames = INT64_MAX;
    for (const auto& b : mInBuffers)
        if (b) frames = std::min<int64_t>(frames, int64_t(b->getOrigin()) + b->getFrameNB() - inOrigin);
    if (frames == INT64_MAX) return 0;
    if (mPrevAlgo) frames -= mPrevAlgo->getOutOverlap(mSampleRate);
    return frames > 0 ? unsigned(frames) : 0u;
}

unsigned SoundAlgo::getOutFrameNb() const {
    const int outOrigin = getOutOrigin();
    int64_t frames = INT_MAX;
    const size_t n = std::min<size_t>(getOutputNumber(), mOutBuffers.size());
    for (size_t i = 0; i < n; ++i)
        if (mOutBuffers[i])
            frames = std::min<int64_t>(frames, int64_t(mOutBuffers[i]->getOrigin()) + mOutBuffers[i]->getFrameNB() -
                                                   outOrigin);
    return frames > 0 ? unsigned(frames) : 0u;
}

// ---------------------------------------------------------------- preparing a run

SoundTools::Status SoundAlgo::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) {
    mSampleRate = ctx.sampleRate;
    mPrevAlgo = prev;
    mNextAlgo = next;
    mOffset = ctx.startOffset;
    if (ctx.channelNb != 2) return SoundTools::Error;
    if (getInputNumber() == 0 || getOutputNumber() == 0) return SoundTools::Error;
    mInBuffers.resize(getInputNumber());
    if (initInputBuffer(ctx) != SoundTools::Ok) return SoundTools::Error;
    mOutBuffers.resize(getOutputNumber());
    return initOutputBuffer(ctx) != SoundTools::Ok ? SoundTools::Error : SoundTools::Ok;
}

SoundTools::Status SoundAlgo::initInputBuffer(const LoopContext& ctx) {
    if (!mPrevAlgo) {
        for (auto& buffer : mInBuffers) {
            buffer = SoundBuffer::createNew(ctx.sampleRate);
            buffer->alloc(getInOverlap(ctx.sampleRate) + ctx.bufferSize, int(ctx.channelNb), getInFrameSize(),
                          getInElementSize());
        }
        return SoundTools::Ok;
    }
    if (mPrevAlgo->getOutputNumber() < mPrevAlgo->mOutPortOffset ||
        mPrevAlgo->getOutputNumber() - mPrevAlgo->mOutPortOffset < getInputNumber() ||
        mPrevAlgo->getOutElementSize() != getInElementSize() || mPrevAlgo->getOutFrameSize() != getInFrameSize())
        return SoundTools::Error;
    for (unsigned i = 0; i < getInputNumber(); ++i) {
        const unsigned port = mPrevAlgo->mOutPortOffset + i;
        if (port >= mPrevAlgo->mOutBuffers.size() || !mPrevAlgo->mOutBuffers[port]) return SoundTools::Error;
        mInBuffers[i] = mPrevAlgo->mOutBuffers[port];
    }
    return SoundTools::Ok;
}

SoundTools::Status SoundAlgo::initOutputBuffer(const LoopContext& ctx) {
    if (mInBuffers.empty() || !mInBuffers[0]) return SoundTools::Error;
    const unsigned frames = mInBuffers[0]->getFrameNBAllocated() + getOutBufferOverlap(ctx.sampleRate);
    for (auto& buffer : mOutBuffers) {
        buffer = SoundBuffer::createNew(ctx.sampleRate);
        buffer->alloc(frames, 2, getOutFrameSize(), getOutElementSize());
    }
    return SoundTools::Ok;
}

void SoundAlgo::setOutOrigin() {
    const int origin = int(getDelay(mSampleRate)) + getInOrigin() - int(getOutBufferOverlap(mSampleRate));
    for (auto& buffer : mOutBuffers) {
        buffer->setOrigin(origin);
        buffer->setStartOffset(getOffset());
    }
}

void SoundAlgo::updateOutput(unsigned rotateBy) {
    const int64_t frames = int64_t(getInFrameNb()) - getInOverlap(mSampleRate) + getOutBufferOverlap(mSampleRate);
    for (auto& buffer : mOutBuffers) {
        if (rotateBy > 0) buffer->rotate(rotateBy);
        buffer->setFrameNB(frames > 0 ? unsigned(frames) : 0u);
    }
}

void SoundAlgo::endProcess(int, unsigned) {
    mInBuffers.clear();
    mOutBuffers.clear();
    mPrevAlgo = nullptr;
    mNextAlgo = nullptr;
}

SoundTools::Status SoundAlgo::useInputs(SoundAlgo* other) {
    if (other->getInputNumber() < getInputNumber()) {
        QMessageLogger().critical().nospace().noquote()
            << "Error in sharing inputs : " << other->getName() << " has " << other->getInputNumber()
            << " inputs whereas " << getName() << " has " << getInputNumber() << " inputs.";
        return SoundTools::Error;
    }
    if (other->getInElementSize() != getInElementSize()) {
        QMessageLogger().critical().nospace().noquote()
            << "Error in sharing inputs : " << other->getName() << " has elements of size "
            << other->getInElementSize() << " whereas " << getName() << " has elements of size "
            << getInElementSize();
        return SoundTools::Error;
    }
    if (other->getInFrameSize() != getInFrameSize()) {
        QMessageLogger().critical().nospace().noquote()
            << "Error in sharing inputs : " << other->getName() << " has frames of size " << other->getInFrameSize()
            << " whereas " << getName() << " has frames of size " << getInFrameSize();
        return SoundTools::Error;
    }
    mInBuffers.resize(getInputNumber());
    for (unsigned i = 0; i < getInputNumber(); ++i) {
        if (i >= other->mInBuffers.size()) return SoundTools::Error;
        mInBuffers[i] = other->mInBuffers[i];
    }
    return SoundTools::Ok;
}

// ---------------------------------------------------------------- the block loop

SoundTools::Status SoundAlgo::initProcessLoop(SoundReader& reader, LoopContext& ctx) {
    ctx = LoopContext();
    if (getInputNumber() != 1 || getOutputNumber() != 1) return SoundTools::Error;
    mStopRequested.store(false, std::memory_order_relaxed);
    ctx.sampleRate = reader.getSampleRate();
    if (int64_t(reader.getFrameNB()) > kMaxStreamFrames) {
        setError(QString("the stream has %1 frames, more than the %2 (%3 h at %4 Hz) a run can carry")
                     .arg(qint64(reader.getFrameNB()))
                     .arg(qint64(kMaxStreamFrames))
                     .arg(double(kMaxStreamFrames) / std::max(1u, ctx.sampleRate) / 3600.0, 0, 'f', 1)
                     .arg(ctx.sampleRate));
        return SoundTools::Error;
    }
    const int position = reader.getOffset();
    const int64_t toProcess = int64_t(reader.getFrameNB()) - position;
    ctx.frameNbToProcess = toProcess > 0 ? unsigned(toProcess) : 0u;
    ctx.frameNbProcessed = 0;
    ctx.status = SoundTools::Ok;
    ctx.startOffset = position;
    ctx.channelNb = 2;
    ctx.bufferSize = getPreferredBufferSize(ctx.sampleRate);
    // The first block carries the delay's lead-in of zero frames before the
    // stream; a block must be able to hold it and at least one frame more.
    const unsigned delay = getDelay(ctx.sampleRate);
    if (delay >= ctx.bufferSize) ctx.bufferSize += delay;
    if (initProcess(ctx, nullptr, nullptr) != SoundTools::Ok) return SoundTools::Error;
    emit notifyBegin(ctx.frameNbToProcess);
    ctx.inOverlap = getInOverlap(ctx.sampleRate);
    ctx.delay = getDelay(ctx.sampleRate);
    ctx.outOverlap = getOutOverlap(ctx.sampleRate);
    ctx.inBuffer = mInBuffers[0];
    ctx.inBuffer->setOrigin(ctx.startOffset);
    ctx.inBuffer->setInitialDelay(ctx.delay);
    setOutOrigin();
    ctx.pendingRotate = -int(ctx.inOverlap);
    return SoundTools::Ok;
}

SoundTools::Status SoundAlgo::singleProcessLoop(SoundReader& reader, LoopContext& ctx, SoundWriter* writer) {
    // Per block, so that hosts driving the loop themselves get it too.
    SoundTools::FlushDenormals flush;
    ctx.status = SoundTools::Ok;
    SoundTools::Status final = SoundTools::Ok;
    const int before = reader.getOffset();
    if (int64_t(before) + ctx.bufferSize > kMaxStreamFrames) {
        setError(QString("the stream goes on past frame %1, the most a run can carry").arg(qint64(kMaxStreamFrames)));
        ctx.status = SoundTools::Error;
        return SoundTools::Error;
    }
    unsigned n = reader.stereoRead(ctx.inBuffer, ctx.inOverlap);
    // Frames this block takes from the timeline: those read plus the zeros the
    // reader pads the end of the stream with, which the input buffer advances by
    // just the same. Counting only the frames read would leave every later
    // output window behind the input.
    unsigned consumed = unsigned(reader.getOffset() - before);
    // Where the stream ends: the reader padded (it ran dry) or gave nothing. A
    // live source that delivers again afterwards was only late, not finished.
    if (n == 0) {
        if (!ctx.streamEndKnown) ctx.streamEnd = before + int(ctx.delay);
        ctx.streamEndKnown = true;
    } else if (consumed > n) {
        ctx.streamEnd = before + int(n) + int(ctx.delay);
        ctx.streamEndKnown = true;
    } else {
        ctx.streamEndKnown = false;
    }
    if (n == 0) {
        const unsigned shift = getSampleShift(mSampleRate);
        if (shift == 0) {
            // A source that failed, or ended before the length it announced,
            // has not given the whole stream: the run must not look complete.
            if (reader.hasFailed()) {
                ctx.status = SoundTools::Error;
                return SoundTools::Error;
            }
            return SoundTools::Finished;
        }
        ctx.inBuffer->appendMargin(shift);
        n = shift;
        consumed += shift;
        final = SoundTools::Finished;
    }
    // The first block also consumed the delay's lead-in, for the same reason.
    const int leadIn = ctx.frameNbProcessed == 0 ? int(ctx.delay) : 0;
    ctx.frameNbProcessed += n;
    updateOutput(unsigned(std::max(0, ctx.pendingRotate)));
    ctx.pendingRotate = int(consumed) + leadIn + std::min(0, ctx.pendingRotate);
    ctx.status = process();
    if (ctx.status != SoundTools::Ok) {
        ctx.outBuffer.reset();
        return ctx.status;
    }
    ctx.outBuffer = mOutBuffers[0];
    if (writer) {
        // The zero frames that flush an algorithm at the end of the stream are not
        // part of the stream: the writer gets every input frame (moved by the
        // delay) and nothing after it, so a file comes out as long as it went in.
        SoundBuffer& out = *ctx.outBuffer;
        const unsigned frames = out.getFrameNB();
        if (ctx.streamEndKnown) {
            const int64_t keep = int64_t(ctx.streamEnd) + ctx.outOverlap - out.getOrigin();
            if (keep < int64_t(frames)) out.setFrameNB(keep > 0 ? unsigned(keep) : 0u);
        }
        ctx.status = writer->writeBuffer(ctx.outBuffer, ctx.outOverlap);
        out.setFrameNB(frames);
        if (ctx.status == SoundTools::Error) setError(getError(), nullptr);
    }
    emit notifyInProgress(ctx.frameNbProcessed, ctx.frameNbToProcess);
    if (stopRequested()) {
        ctx.status = SoundTools::Interrupted;
        return SoundTools::Interrupted;
    }
    if (ctx.status == SoundTools::Ok && final == SoundTools::Finished && reader.hasFailed()) {
        ctx.status = SoundTools::Error;
        return SoundTools::Error;
    }
    return ctx.status != SoundTools::Ok ? ctx.status : final;
}

int SoundAlgo::endProcessLoop(LoopContext& ctx) {
    SoundTools::FlushDenormals flush;
    emit notifyEnd(ctx.status);
    endProcess(ctx.status, ctx.frameNbProcessed);
    return 0;
}

SoundTools::Status SoundAlgo::processAll(SoundReader& reader, SoundWriter* writer) {
    LoopContext ctx;
    if (initProcessLoop(reader, ctx) != SoundTools::Ok) return SoundTools::Error;
    while (singleProcessLoop(reader, ctx, writer) == SoundTools::Ok) {
    }
    endProcessLoop(ctx);
    return ctx.status;
}

// ---------------------------------------------------------------- diagnostics

void SoundAlgo::debugBuffers() {
    std::ostream& os = getOStream();
    const unsigned sr = mSampleRate;
    os << "=================================" << "\n";
    os << getName().toStdString() << " :" << "\n";
    if (!mInBuffers.empty() && mInBuffers[0])
        os << "InBuffer.getOrigin :" << mInBuffers[0]->getOrigin() << " InBuffer.getEnd : " << mInBuffers[0]->getEnd()
           << " InBuffer.getFrameNB :" << mInBuffers[0]->getFrameNB() << "\n";
    if (!mOutBuffers.empty() && mOutBuffers[0])
        os << "OutBuffer.getOrigin :" << mOutBuffers[0]->getOrigin() << " OutBuffer.getEnd : "
           << mOutBuffers[0]->getEnd() << " OutBuffer.getFrameNB :" << mOutBuffers[0]->getFrameNB() << "\n";
    os << "getInOverlap :" << getInOverlap(sr) << " getOutOverlap :" << getOutOverlap(sr)
       << " getOutBufferOverlap :" << getOutBufferOverlap(sr) << "\n";
    const int inOrigin = getInOrigin();
    const unsigned inFrames = getInFrameNb();
    os << "getInOrigin :" << inOrigin << " getInFrameNb :" << inFrames << " getInEnd :" << inOrigin + int(inFrames) - 1
       << "\n";
    const int outOrigin = getOutOrigin();
    const unsigned outFrames = getOutFrameNb();
    os << "getOutOrigin :" << outOrigin << " getOutFrameNb :" << outFrames
       << " getOutEnd :" << int64_t(outOrigin) + int64_t(outFrames) - 1 << "\n";
    os << "getDelay :" << getDelay(sr) << "\n" << std::endl;
}

// ---------------------------------------------------------------- JSON

QHash<QString, SoundAlgo::SoundAlgoJSonBuilder*>& SoundAlgo::jsonBuilders() {
    // Function-local so that builders registered by other translation units'
    // static initialisers never meet an unconstructed table.
    static QHash<QString, SoundAlgoJSonBuilder*> builders;
    return builders;
}

void SoundAlgo::declareBuilder(SoundAlgoJSonBuilder* builder) {
    if (builder) jsonBuilders().insert(builder->getClassName(), builder);
}

void SoundAlgo::writeToJSon(QJsonObject& object) const { object.insert("Id", mId); }

bool SoundAlgo::readFromJSon(QJsonObject& object) {
    const QJsonValue id = object.value("Id");
    if (id.isString()) mId = id.toString();
    return true;
}

SoundAlgo* SoundAlgo::createFromJSon(QJsonObject object) {
    const QJsonValue cls = object.value("Class");
    if (!cls.isString()) return nullptr;
    const QString className = cls.toString();
    SoundAlgoJSonBuilder* builder = jsonBuilders().value(className, nullptr);
    if (!builder) {
        setError("Unknown class " + className, "SoundAlgo::createFromJSon");
        return nullptr;
    }
    SoundAlgo* algo = builder->build(object);
    if (!algo) {
        setError("Unable to build " + className, "SoundAlgo::createFromJSon");
        return nullptr;
    }
    return algo;
}

std::vector<SoundAlgo*> SoundAlgo::createFromJSon(QJsonArray array) {
    std::vector<SoundAlgo*> algos;
    algos.reserve(size_t(array.size()));
    for (const QJsonValue& v : array) {
        if (!v.isObject()) continue;
        if (SoundAlgo* algo = createFromJSon(v.toObject())) algos.push_back(algo);
    }
    return algos;
}
