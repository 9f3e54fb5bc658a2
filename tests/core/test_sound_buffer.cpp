#include <memory>
#include <sstream>

#include "common/TestKit.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundDebuggableClass.h"

namespace {
// A buffer of `frames` valid frames from `origin`, holding (position, -position)
// so that positions can be read back.
std::unique_ptr<SoundBuffer> positions(unsigned allocated, unsigned frames, int origin, unsigned rate = 44100) {
    auto b = std::make_unique<SoundBuffer>(rate);
    b->alloc(allocated, 2);
    b->setOrigin(origin);
    b->setFrameNB(frames);
    for (unsigned i = 0; i < frames; ++i) *b->getRelStereoFrame(int(i)) = tk::Frame(origin + int(i), -(origin + int(i)));
    return b;
}
}  // namespace

TEST(SoundBuffer, AllocKeepsLargeEnoughArraysAndZeroesNewOnes) {
    SoundBuffer b(44100);
    b.alloc(10, 2);
    b.setFrameNB(10);
    b.getRelStereoFrame(3)->l = 5.0;
    b.alloc(4, 2);  // smaller: same array, contents kept
    EXPECT_EQ(b.getFrameNB(), 0u);
    EXPECT_EQ(b.getFrameNBAllocated(), 4u);
    EXPECT_EQ(b.getRelStereoFrame(3)->l, 5.0);
    b.alloc(100, 2);  // larger: a new zeroed array
    EXPECT_EQ(b.getRelStereoFrame(3)->l, 0.0);
    EXPECT_EQ(b.getFrameStride(), 2u);
    EXPECT_TRUE(b.isStereo());
    b.alloc(8, 2, 5, 2);  // spectrum shape
    EXPECT_EQ(b.getFrameStride(), 20u);
    EXPECT_FALSE(b.isStereo());
}

// keepMargin moves the tail to the front; rotate drops leading frames;
// appendMargin grows and zeroes.
TEST(SoundBuffer, MarginsAndRotation) {
    auto b = positions(16, 10, 100);
    EXPECT_EQ(b->keepMargin(4), 4u);
    EXPECT_EQ(b->getOrigin(), 106);
    EXPECT_EQ(b->getFrameNB(), 10u);  // the caller sets it
    for (int i = 0; i < 4; ++i) EXPECT_EQ(b->getRelStereoFrame(i)->l, 106 + i);
    EXPECT_EQ(b->getStereoFrame(107)->l, 107);
    auto all = positions(10, 10, 5);
    EXPECT_EQ(all->keepMargin(10), 0u);  // keep everything: nothing changes
    EXPECT_EQ(all->getOrigin(), 5);

    auto r = positions(10, 10, 0);
    r->rotate(0);
    EXPECT_EQ(r->getOrigin(), 0);
    r->rotate(3);
    EXPECT_EQ(r->getOrigin(), 3);
    EXPECT_EQ(r->getRelStereoFrame(0)->l, 3);
    r->rotate(50);  // more than held: the origin moves by the frame count
    EXPECT_EQ(r->getOrigin(), 13);
    auto empty = positions(4, 0, 7);
    empty->rotate(3);
    EXPECT_EQ(empty->getOrigin(), 7);

    auto g = positions(4, 4, 0, 48000);
    g->setOrigin(10);
    g->appendMargin(6);
    EXPECT_EQ(g->getFrameNB(), 10u);
    EXPECT_GE(g->getFrameNBAllocated(), 10u);
    EXPECT_EQ(g->getRelStereoFrame(3)->l, 3);  // kept
    for (int i = 4; i < 10; ++i) EXPECT_EQ(g->getRelStereoFrame(i)->l, 0.0);
    EXPECT_EQ(g->getEnd(), 19);
}

TEST(SoundBuffer, InitialDelayLeadsTheFirstFill) {
    auto b = positions(6, 6, 9);
    b->setOrigin(0);
    b->setInitialDelay(5);
    EXPECT_EQ(b->getOrigin(), -5);
    EXPECT_EQ(b->getFrameNB(), 0u);
    EXPECT_EQ(b->keepMargin(3), 5u);  // zeroes min(capacity 6, 3 + 5) frames
    for (int i = 0; i < 6; ++i) EXPECT_EQ(b->getRelStereoFrame(i)->l, 0.0);
}

TEST(SoundBuffer, OutOfRangeAccessIsReportedNotDereferenced) {
    std::ostringstream os;
    SoundDebuggableClass::setOStream(&os);
    SoundBuffer b(44100);
    b.alloc(4, 2);
    b.setOrigin(10);
    EXPECT_EQ(b.getFrame(9), nullptr);
    EXPECT_EQ(b.getRelFrame(-1), nullptr);
    SoundDebuggableClass::setOStream(nullptr);
    EXPECT_EQ(os.str(), "Frame 9 inferior to 10\nFrame negative\n");
}

TEST(SoundBuffer, StartPointAndValidFrames) {
    SoundBuffer b(44100);
    b.alloc(10, 2);
    b.setOrigin(-5);
    b.setStartOffset(0);
    EXPECT_EQ(b.getStartPoint(), 0);
    b.setFrameNB(5);
    EXPECT_FALSE(b.hasValidFrames());
    b.setFrameNB(6);
    EXPECT_TRUE(b.hasValidFrames());
    EXPECT_EQ(b.getFrameNB(-2), 3);
}

TEST(SoundBuffer, AssignmentCopiesFramesAndTimeline) {
    auto a = positions(8, 5, 42, 22050);
    a->setStartOffset(44);
    SoundBuffer b(44100);
    b = *a;
    EXPECT_EQ(b.getFrameNB(), 5u);
    EXPECT_EQ(b.getFrameNBAllocated(), 5u);
    EXPECT_EQ(b.getOrigin(), 42);
    EXPECT_EQ(b.getStartPoint(), 44);
    EXPECT_EQ(b.getSampleRate(), 22050u);
    EXPECT_EQ(b.getStereoFrame(46)->r, -46);
}

TEST(SoundBuffer, ArithmeticTouchesValidFramesOnly) {
    SoundBuffer b(44100);
    b.alloc(4, 2);
    b.setFrameNB(2);
    b.addBuffer(1.0);
    b.mulBuffer(3.0);
    b.normBuffer(-1.0, 0.5);
    EXPECT_EQ(b.getRelStereoFrame(1)->r, 1.0);  // ((0 + 1) * 3 - 1) * 0.5
    EXPECT_EQ(b.getRelStereoFrame(2)->l, 0.0);  // beyond the frame count
    b.reset();
    EXPECT_EQ(b.getRelStereoFrame(1)->r, 0.0);
}

TEST(SoundBuffer, DefaultSizeIgnoresZero) {
    const unsigned old = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(0);
    EXPECT_EQ(SoundBuffer::getDefaultSize(), old);
    SoundBuffer::setDefaultSize(2048);
    EXPECT_EQ(SoundBuffer::sSize, 2048u);
    SoundBuffer::setDefaultSize(old);
}
