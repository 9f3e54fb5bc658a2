#include "tonewright/SoundAlgoComposite.h"

#include <algorithm>
#include <ostream>

#include "core/SoundFlushDenormals.h"
#include "tonewright/SoundAlgoElementary.h"

SoundAlgoComposite::SoundAlgoComposite(QString id, bool sharedInputs)
    : SoundAlgo(std::move(id)), mSharedInputs(sharedInputs) {}

SoundAlgoComposite::~SoundAlgoComposite() {
    for (auto& branch : mBranches)
        for (SoundAlgo* member : branch) member->releaseRef();
}

void SoundAlgoComposite::addNewBranch() {
    if (mWritable) mBranches.emplace_back();
}

void SoundAlgoComposite::pushAlgo(SoundAlgo* algo) {
    if (!algo || !mWritable) return;
    if (mBranches.empty()) addNewBranch();
    mBranches.back().push_back(algo);
}

void SoundAlgoComposite::pushAlgoFront(SoundAlgo* algo) {
    if (!algo || !mWritable) return;
    if (mBranches.empty()) addNewBranch();
    mBranches.back().insert(mBranches.back().begin(), algo);
}

void SoundAlgoComposite::pushBranch(std::vector<SoundAlgo*>& branch) {
    if (mWritable) pushBranchUnlocked(branch);
}

void SoundAlgoComposite::pushBranchUnlocked(std::vector<SoundAlgo*>& branch) { mBranches.push_back(branch); }

// ---------------------------------------------------------------- shape and timing

unsigned SoundAlgoComposite::getInputNumber() const {
    if (mBranches.empty() || mBranches[0].empty()) return 0;
    if (mSharedInputs) return mBranches[0].front()->getInputNumber();
    unsigned n = 0;
    for (const auto& branch : mBranches)
        if (!branch.empty()) n += branch.front()->getInputNumber();
    return n;
}

unsigned SoundAlgoComposite::getOutputNumber() const {
    unsigned n = 0;
    for (const auto& branch : mBranches)
        if (!branch.empty()) n += branch.back()->getOutputNumber();
    return n;
}

unsigned SoundAlgoComposite::getInFrameSize() const {
    return mBranches.empty() || mBranches[0].empty() ? 0 : mBranches[0].front()->getInFrameSize();
}
unsigned SoundAlgoComposite::getInElementSize() const {
    return mBranches.empty() || mBranches[0].empty() ? 0 : mBranches[0].front()->getInElementSize();
}
unsigned SoundAlgoComposite::getOutFrameSize() const {
    return mBranches.empty() || mBranches[0].empty() ? 0 : mBranches[0].back()->getOutFrameSize();
}
unsigned SoundAlgoComposite::getOutElementSize() const {
    return mBranches.empty() || mBranches[0].empty() ? 0 : mBranches[0].back()->getOutElementSize();
}

unsigned SoundAlgoComposite::getBranchDelay(unsigned sr, size_t b) const {
    unsigned d = 0;
    for (SoundAlgo* m : mBranches[b]) d += m->getDelay(sr);
    return d;
}
unsigned SoundAlgoComposite::getBranchShift(unsigned sr, size_t b) const {
    unsigned s = 0;
    for (SoundAlgo* m : mBranches[b]) s += m->getSampleShift(sr);
    return s;
}
unsigned SoundAlgoComposite::getBranchOutOverlap(unsigned sr, size_t b) const {
    unsigned o = 0;
    for (SoundAlgo* m : mBranches[b]) o += m->getOutBufferOverlap(sr);
    return o;
}
unsigned SoundAlgoComposite::getBranchInOverlap(unsigned sr, size_t b) const {
    return mBranches[b].empty() ? 0 : mBranches[b].front()->getInOverlap(sr);
}

unsigned SoundAlgoComposite::getDelay(unsigned sr) const {
    unsigned d = 0;
    for (size_t b = 0; b < mBranches.size(); ++b) d = std::max(d, getBranchDelay(sr, b));
    return d;
}
unsigned SoundAlgoComposite::getSampleShift(unsigned sr) const {
    unsigned s = 0;
    for (size_t b = 0; b < mBranches.size(); ++b) s = std::max(s, getBranchShift(sr, b));
    return s;
}
unsigned SoundAlgoComposite::getInOverlap(unsigned sr) const {
    unsigned o = 0;
    for (const auto& branch : mBranches)
        if (!branch.empty()) o = std::max(o, branch.front()->getInOverlap(sr));
    return o;
}
unsigned SoundAlgoComposite::getOutOverlap(unsigned sr) const {
    unsigned o = 0;
    for (const auto& branch : mBranches)
        if (!branch.empty()) o = std::max(o, branch.back()->getOutOverlap(sr));
    return o;
}
unsigned SoundAlgoComposite::getOutBufferOverlap(unsigned sr) const {
    unsigned o = 0;
    for (size_t b = 0; b < mBranches.size(); ++b) o = std::max(o, getBranchOutOverlap(sr, b));
    return o;
}

unsigned SoundAlgoComposite::getPreferredBufferSize(unsigned sr) const {
    unsigned size = SoundBuffer::sSize;
    for (const auto& branch : mBranches)
        for (SoundAlgo* m : branch)
            while (m->getPreferredBufferSize(sr) > size) size *= 2;
    return size;
}

// ---------------------------------------------------------------- connecting

SoundTools::Status SoundAlgoComposite::initInputBuffer(const LoopContext& ctx) {
    // Each pass connects every member; a pass that had to pad branches with
    // bypasses connects again (the padded branches are then aligned).
    // Padding converges in one round for members whose timing does not depend
    // on their neighbours; the bound only guards against members that keep
    // changing their answers.
    for (int pass = 0; pass < 8; ++pass) {
        if (connectMembers(ctx) != SoundTools::Ok) return SoundTools::Error;
        if (!alignBranches()) return SoundTools::Ok;
    }
    setError("Branches of " + getName() + " cannot be aligned", "SoundAlgoComposite::initInputBuffer");
    return SoundTools::Error;
}

SoundTools::Status SoundAlgoComposite::connectMembers(const LoopContext& ctx) {
    bool inputsReady = false;
    // A composite nested in a composite with separate inputs reads its
    // predecessor's outputs from the port offset its parent set.
    const unsigned baseOffset = mPrevAlgo ? mPrevAlgo->mOutPortOffset : 0;
    if (mPrevAlgo) {
        const unsigned outputs = mPrevAlgo->getOutputNumber();
        if (outputs < baseOffset) return SoundTools::Error;
        const unsigned available = outputs - baseOffset;
        if (baseOffset == 0 ? available != getInputNumber() : available < getInputNumber()) return SoundTools::Error;
        for (unsigned i = 0; i < getInputNumber(); ++i) {
            if (baseOffset + i >= mPrevAlgo->mOutBuffers.size()) return SoundTools::Error;
            mInBuffers[i] = mPrevAlgo->mOutBuffers[baseOffset + i];
        }
        inputsReady = true;
    }
    SoundTools::Status status = SoundTools::Ok;
    unsigned total = 0;
    for (size_t b = 0; b < mBranches.size() && status == SoundTools::Ok; ++b) {
        auto& branch = mBranches[b];
        if (mPrevAlgo && !mSharedInputs) mPrevAlgo->setOutPortOffset(baseOffset + total);
        for (size_t k = 0; k < branch.size(); ++k) {
            SoundAlgo* prev = k == 0 ? mPrevAlgo : branch[k - 1];
            SoundAlgo* next = k + 1 < branch.size() ? branch[k + 1] : mNextAlgo;
            if (branch[k]->initProcess(ctx, prev, next) != SoundTools::Ok) {
                status = SoundTools::Error;
                break;
            }
            if (k != 0) continue;
            const unsigned first = total;
            total += branch[0]->getInputNumber();
            if (!inputsReady) {
                for (unsigned j = 0; first + j < total && first + j < mInBuffers.size(); ++j)
                    mInBuffers[first + j] = branch[0]->mInBuffers[j];
                if (mSharedInputs) inputsReady = true;
            } else if (mSharedInputs && !mPrevAlgo) {
                if (branch[0]->useInputs(this) != SoundTools::Ok) {
                    status = SoundTools::Error;
                    break;
                }
            }
        }
    }
    if (mPrevAlgo) mPrevAlgo->setOutPortOffset(baseOffset);
    return status;
}

bool SoundAlgoComposite::alignBranches() {
    const unsigned sr = mSampleRate;
    const unsigned D = getDelay(sr);
    unsigned O = 0, I = 0;
    for (size_t b = 0; b < mBranches.size(); ++b) {
        O = std::max(O, getBranchOutOverlap(sr, b));
        I = std::max(I, getBranchInOverlap(sr, b));
    }
    bool added = false;
    for (size_t b = 0; b < mBranches.size(); ++b) {
        const unsigned d = getBranchDelay(sr, b);
        const unsigned o = getBranchOutOverlap(sr, b);
        const unsigned i = getBranchInOverlap(sr, b);
        if (d < D || o < O) {
            auto bypass = SoundRef<SoundAlgoBypass>::make(O - o, D - d, 0u);
            bypass->setId(QString("Out %2 [%1]").arg(QString::number(b), getName()));
            mBranches[b].push_back(bypass.release());
            added = true;
        }
        if (i < I) {
            // The bypass takes the whole lookahead of the composite's input. A
            // front member that looks ahead itself then reads its own lookahead
            // from the history the bypass keeps for it (its out-buffer overlap),
            // like any member inside a chain; a bypass of only I - i would leave
            // the branch looking ahead by I - i, and padding would never end.
            auto bypass = SoundRef<SoundAlgoBypass>::make(I, 0u, 0u);
            bypass->setId(QString("In %2 [%1]").arg(QString::number(b), getName()));
            mBranches[b].insert(mBranches[b].begin(), bypass.release());
            added = true;
        }
    }
    return added;
}

SoundTools::Status SoundAlgoComposite::initOutputBuffer(const LoopContext&) {
    size_t port = 0;
    for (const auto& branch : mBranches) {
        if (branch.empty()) continue;
        SoundAlgo* last = branch.back();
        for (unsigned i = 0; i < last->getOutputNumber() && port < mOutBuffers.size(); ++i)
            mOutBuffers[port++] = last->mOutBuffers[i];
    }
    return SoundTools::Ok;
}

void SoundAlgoComposite::setOutOrigin() {
    for (auto& branch : mBranches)
        for (SoundAlgo* m : branch) m->setOutOrigin();
}

void SoundAlgoComposite::updateOutput(unsigned rotateBy) {
    for (auto& branch : mBranches)
        for (SoundAlgo* m : branch) m->updateOutput(rotateBy);
}

void SoundAlgoComposite::endProcess(int status, unsigned frameNbProcessed) {
    for (auto& branch : mBranches)
        for (SoundAlgo* m : branch) m->endProcess(status, frameNbProcessed);
    SoundAlgo::endProcess(status, frameNbProcessed);
}

// ---------------------------------------------------------------- processing

SoundTools::Status SoundAlgoComposite::processOneLoop(int b) {
    for (SoundAlgo* m : mBranches[size_t(b)]) {
        const SoundTools::Status s = m->process();
        if (s != SoundTools::Ok) return s;
    }
    return SoundTools::Ok;
}

SoundTools::Status SoundAlgoComposite::process() {
    if (mBranches.empty()) return SoundTools::Ok;
    int s = 0;
    if (mBranches.size() == 1) {
        s = processOneLoop(0);
    } else if (!mParallelBranches) {
        for (size_t b = 0; b < mBranches.size(); ++b) s |= int(processOneLoop(int(b)));
    } else {
        const int n = int(mBranches.size());
#pragma omp parallel for schedule(static) reduction(| : s)
        for (int b = 0; b < n; ++b) {
            SoundTools::FlushDenormals flush;  // the worker's own floating-point mode
            s |= int(processOneLoop(b));
        }
    }
    if (s == 0) return SoundTools::Ok;
    return s == 1 ? SoundTools::Error : SoundTools::Interrupted;
}

void SoundAlgoComposite::debugBuffers() {
    SoundAlgo::debugBuffers();
    std::ostream& os = getOStream();
    const std::string name = getName().toStdString();
    for (size_t b = 0; b < mBranches.size(); ++b) {
        os << "==============================================" << std::endl;
        os << "Branch " << b << " " << name << std::endl;
        for (SoundAlgo* m : mBranches[b]) m->debugBuffers();
        os << "End Branch " << b << " " << name << std::endl;
        os << "==============================================" << std::endl;
    }
}
