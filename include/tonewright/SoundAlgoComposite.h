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
    // How a multiband tree splits the spectrum at each band edge: a first-order
    // low-pass and its complement, a biquad low-pass (width 1.9 octaves) and its
    // complement, or a fourth-order Butterworth crossover. The first two add back
    // up to their input exactly; the crossover's bands are steeper. Any other
    // value builds no splitter.
    enum SplitterType { FirstOrderSplit = 0, BiquadSplit = 1, CrossoverSplit = 2 };

    // Makes the algorithm of one band of a multiband tree. buildAlgo must push
    // exactly one algorithm, with one input and one output, into the current
    // (last) branch of target. label is the band's text "[lo-hi]" (Hz).
    class TONEWRIGHT_API FrequencyAlgoBuilder {
    public:
        virtual ~FrequencyAlgoBuilder() = default;
        virtual void buildAlgo(SoundAlgoComposite* target, int band, const QString& label) = 0;
    };

    explicit SoundAlgoComposite(QString id = QString(), bool sharedInputs = true);
    ~SoundAlgoComposite() override;

    // Builds into the current branch a tree that splits the stream at the
    // ascending band edges freqs (Hz), runs one algorithm per band (n edges give
    // n + 1 bands, band k between edge k-1 and edge k, from 0 Hz to 22050 Hz)
    // and adds the bands back together. Nothing is built once the composite is
    // read-only. With no edge, the single band's algorithm is pushed as it is.
    void buildMultibandTree(const std::vector<double>& freqs, FrequencyAlgoBuilder& builder, SplitterType type);

    // Building; ignored once the composite is read-only.
    void addNewBranch();
    void pushAlgo(SoundAlgo* algo);
    void pushAlgoFront(SoundAlgo* algo);
    void pushBranch(std::vector<SoundAlgo*>& branch);

    // Whether process() runs the branches side by side (the default) or one
    // after the other. Side by side pays a fork and a join per block; for small
    // or lopsided branches (a crossover's two filters, the levels of a multiband
    // tree, where one branch holds a single band and the other the rest of the
    // tree) that costs more than it saves, and on a machine with more runnable
    // threads than cores the waiting can cost far more. Results are the same.
    void setParallelBranches(bool on) { mParallelBranches = on; }
    bool hasParallelBranches() const { return mParallelBranches; }

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
    // One level of the tree, from edge i on.
    void recursiveBuildMultibandTree(const std::vector<double>& freqs, int i, FrequencyAlgoBuilder& builder,
                                     SplitterType type);
    void pushBranchUnlocked(std::vector<SoundAlgo*>& branch);
    void setReadOnly() { mWritable = false; }

    unsigned getBranchDelay(unsigned sr, size_t b) const;
    unsigned getBranchShift(unsigned sr, size_t b) const;
    unsigned getBranchOutOverlap(unsigned sr, size_t b) const;
    unsigned getBranchInOverlap(unsigned sr, size_t b) const;
    SoundTools::Status processOneLoop(int b);

    bool mWritable = true;
    bool mSharedInputs;
    bool mParallelBranches = true;
    std::vector<std::vector<SoundAlgo*>> mBranches;

private:
    SoundTools::Status connectMembers(const LoopContext& ctx);
    bool alignBranches();
};
