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

// A smaller allocation keeps the array and its contents, a larger one is a new
// zeroed array; a zero default size is ignored.
TEST(SoundBuffer, AllocKeepsLargeEnoughArraysAndZeroesNewOnes) {
    SoundBuffer b(44100);
    b.alloc(10, 2);
    b.setFrameNB(10);
    b.getRelStereoFrame(3)->l = 5.0;
    b.alloc(4, 2);
    EXPECT_EQ(b.getFrameNB(), 0u);
    EXPECT_EQ(b.getFrameNBAllocated(), 4u);
    EXPECT_EQ(b.getRelStereoFrame(3)->l, 5.0);
    b.alloc(100, 2);
    EXPECT_EQ(b.getRelStereoFrame(3)->l, 0.0);
    EXPECT_TRUE(b.isStereo());
    b.alloc(8, 2, 5, 2);  // spectrum shape
    EXPECT_EQ(b.getFrameStride(), 20u);
    EXPECT_FALSE(b.isStereo());
    const unsigned old = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(0);
    EXPECT_EQ(SoundBuffer::getDefaultSize(), old);
}

// keepMargin moves the tail to the front; rotate drops leading frames;
// appendMargin grows and zeroes; an initial delay leads the first fill with zeros.
TEST(SoundBuffer, MarginsRotationAndInitialDelay) {
    auto b = positions(16, 10, 100);
    EXPECT_EQ(b->keepMargin(4), 4u);
    EXPECT_EQ(b->getOrigin(), 106);
    EXPECT_EQ(b->getFrameNB(), 10u);  // the caller sets it
    for (int i = 0; i < 4; ++i) EXPECT_EQ(b->getRelStereoFrame(i)->l, 106 + i);
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
    EXPECT_EQ(g->getRelStereoFrame(3)->l, 3);  // kept
    for (int i = 4; i < 10; ++i) EXPECT_EQ(g->getRelStereoFrame(i)->l, 0.0);
    EXPECT_EQ(g->getEnd(), 19);

    auto d = positions(6, 6, 9);
    d->setOrigin(0);
    d->setInitialDelay(5);
    EXPECT_EQ(d->getOrigin(), -5);
    EXPECT_EQ(d->getFrameNB(), 0u);
    EXPECT_EQ(d->keepMargin(3), 5u);  // zeroes min(capacity 6, 3 + 5) frames
    for (int i = 0; i < 6; ++i) EXPECT_EQ(d->getRelStereoFrame(i)->l, 0.0);
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

// Frames before the start point are not valid; assignment copies frames and
// timeline; arithmetic touches the valid frames only.
TEST(SoundBuffer, StartPointAssignmentAndArithmetic) {
    SoundBuffer s(44100);
    s.alloc(10, 2);
    s.setOrigin(-5);
    s.setStartOffset(0);
    s.setFrameNB(5);
    EXPECT_FALSE(s.hasValidFrames());
    s.setFrameNB(6);
    EXPECT_TRUE(s.hasValidFrames());
    EXPECT_EQ(s.getFrameNB(-2), 3);

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

    SoundBuffer m(44100);
    m.alloc(4, 2);
    m.setFrameNB(2);
    m.addBuffer(1.0);
    m.mulBuffer(3.0);
    m.normBuffer(-1.0, 0.5);
    EXPECT_EQ(m.getRelStereoFrame(1)->r, 1.0);  // ((0 + 1) * 3 - 1) * 0.5
    EXPECT_EQ(m.getRelStereoFrame(2)->l, 0.0);  // beyond the frame count
    m.reset();
    EXPECT_EQ(m.getRelStereoFrame(1)->r, 0.0);
}
