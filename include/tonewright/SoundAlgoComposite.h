#pragma once
// SoundAlgoComposite: an algorithm made of other algorithms. Branches run side by
// side (OpenMP), each a chain of members run one after the other. Branches that
// differ in delay or overlap are padded with SoundAlgoBypass members at the first
// initProcess so that all outputs line up on the timeline.
//
// Ownership: the composite holds one reference on each member. pushAlgo and
// pushBranch hand over the caller's reference (no new reference is taken); the
// destructor drops them.
//
// Threading: build, then run, on one thread. process() runs branches on OpenMP
// worker threads; members of different branches must not share buffers other
// than the shared read-only inputs.
#include <QString>
#include <vector>

#include "tonewright/Export.h"
#include "tonewright/SoundAlgo.h"

class TONEWRIGHT_API SoundAlgoComposite : public SoundAlgo {
    Q_OBJECT
public:
    explicit SoundAlgoComposite(QString id = QString(), bool sharedInputs = true);
    ~SoundAlgoComposite() override;

    // Building; ignored once the composite is read-only.
    void addNewBranch();
    void pushAlgo(SoundAlgo* algo);
    void pushAlgoFront(SoundAlgo* algo);
    void pushBranch(std::vector<SoundAlgo*>& branch);

    bool isWritable() const { return mWritable; }
    bool hasSharedInputs() const { return mSharedInputs; }
    size_t getBranchNumber() const { return mBranches.size(); }
    // Members of branch b, in processing order (not owned by the caller).
    const std::vector<SoundAlgo*>& getBranch(size_t b) const { return mBranches[b]; }

    SoundTools::Status process() override;
    unsigned getInputNumber() const override;
    unsigned getOutputNumber() const override;
    unsigned getInFrameSize() const override;
    unsigned getOutFrameSize() const override;
    unsigned getInElementSize() const override;
    unsigned getOutElementSize() const override;
    unsigned getDelay(unsigned sr) const override;
    unsigned getSampleShift(unsigned sr) const override;
    unsigned getInOverlap(unsigned sr) const override;
    unsigned getOutOverlap(unsigned sr) const override;
    unsigned getOutBufferOverlap(unsigned sr) const override;
    unsigned getPreferredBufferSize(unsigned sr) const override;
    SoundTools::Status initInputBuffer(const LoopContext& ctx) override;
    SoundTools::Status initOutputBuffer(const LoopContext& ctx) override;
    void setOutOrigin() override;
    void updateOutput(unsigned rotateBy) override;
    void endProcess(int status, unsigned frameNbProcessed) override;
    void debugBuffers() override;

protected:
    void pushBranchUnlocked(std::vector<SoundAlgo*>& branch);
    void setReadOnly() { mWritable = false; }

    unsigned getBranchDelay(unsigned sr, size_t b) const;
    unsigned getBranchShift(unsigned sr, size_t b) const;
    unsigned getBranchOutOverlap(unsigned sr, size_t b) const;
    unsigned getBranchInOverlap(unsigned sr, size_t b) const;
    SoundTools::Status processOneLoop(int b);

    bool mWritable = true;
    bool mSharedInputs;
    std::vector<std::vector<SoundAlgo*>> mBranches;

private:
    SoundTools::Status connectMembers(const LoopContext& ctx);
    bool alignBranches();
};
