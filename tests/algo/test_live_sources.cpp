// A live source (the in-memory pipe between two recordings handed over without
// a gap) may deliver fewer frames than asked and more at the next call: nothing
// may be put between them.
#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

namespace {
// Delivers its frames in the given read sizes, cycled: each read returns at
// most that many, so that most reads are short.
class HiccupReader : public tk::MemoryReader {
public:
    HiccupReader(tk::Frames f, std::vector<unsigned> sizes) : tk::MemoryReader(std::move(f), 44100), mSizes(std::move(sizes)) {}

protected:
    unsigned read(unsigned count, double* dest) override {
        const unsigned n = std::min(count, mSizes[mCall++ % mSizes.size()]);
        return n ? tk::MemoryReader::read(n, dest) : 0;
    }

private:
    std::vector<unsigned> mSizes;
    size_t mCall = 0;
};
}  // namespace

TEST(StereoRead, AShortReadIsNotPaddedWhenTheSourceGoesOn) {
    HiccupReader reader(tk::ramp(30), {10, 2, 10});
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(12, 2);
    EXPECT_EQ(reader.stereoRead(buffer, 5), 10u);
    EXPECT_EQ(reader.stereoRead(buffer, 5), 2u) << "fewer than the 5 kept";
    EXPECT_EQ(reader.getOffset(), 12);
    EXPECT_EQ(buffer->getFrameNB(), 7u);
    EXPECT_EQ(reader.stereoRead(buffer, 5), 7u) << "the source goes on";
    ASSERT_EQ(buffer->getOrigin(), 7);
    for (int p = 7; p < 19; ++p) EXPECT_EQ(buffer->getStereoFrame(p)->l, p + 1.0) << p;
    EXPECT_EQ(reader.getOffset(), 19);
}

TEST(BlockLoop, ALiveSourceWithShortReadsComesOutWhole) {
    const tk::Frames in = tk::ramp(20000);
    for (unsigned block : {1024u, 333u}) {
        HiccupReader reader(in, {100, 5000, 1, 700, 4096});
        auto chain = SoundRef<SoundAlgoComposite>::make("chain");
        chain->pushAlgo(SoundRef<SoundAlgoBypass>::make(2000u, 0u, 0u).release());  // a look-ahead
        chain->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.01, true).release());     // a hold-back
        tk::ScopedBlockSize size(block);
        tk::MemoryWriter writer(44100);
        EXPECT_EQ(chain->processAll(reader, &writer), SoundTools::Ok);
        EXPECT_TRUE(tk::framesNear(writer.frames(), in, 0.0)) << block;
    }
}
