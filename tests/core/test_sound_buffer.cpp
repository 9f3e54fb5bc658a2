#include <sstream>

#include "common/TestKit.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundDebuggableClass.h"

namespace {
// Fills array frames with (origin + i, -(origin + i)) so positions can be read back.
void fillPositions(SoundBuffer& b) {
    for (unsigned i = 0; i < b.getFrameNB(); ++i) {
        b.getRelStereoFrame(int(i))->l = b.getOrigin() + int(i);
        b.getRelStereoFrame(int(i))->r = -(b.getOrigin() + int(i));
    }
}

struct CaptureStream {
    std::ostringstream os;
    CaptureStream() { SoundDebuggableClass::setOStream(&os); }
    ~CaptureStream() { SoundDebuggableClass::setOStream(nullptr); }
};
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

TEST(SoundBuffer, KeepMarginMovesTheTailToTheFront) {
    SoundBuffer b(44100);
    b.alloc(16, 2);
    b.setOrigin(100);
    b.setFrameNB(10);
    fillPositions(b);
    EXPECT_EQ(b.keepMargin(4), 4u);
    EXPECT_EQ(b.getOrigin(), 106);
    EXPECT_EQ(b.getFrameNB(), 10u);  // the caller sets it
    for (int i = 0; i < 4; ++i) EXPECT_EQ(b.getRelStereoFrame(i)->l, 106 + i);
    EXPECT_EQ(b.getStereoFrame(107)->l, 107);

    SoundBuffer c(44100);
    c.alloc(10, 2);
    c.setFrameNB(10);
    c.setOrigin(5);
    EXPECT_EQ(c.keepMargin(10), 0u);  // keep everything: nothing changes
    EXPECT_EQ(c.getOrigin(), 5);
}

TEST(SoundBuffer, InitialDelayLeadsTheFirstFill) {
    SoundBuffer b(44100);
    b.alloc(6, 2);
    b.setFrameNB(6);
    for (unsigned i = 0; i < 6; ++i) b.getRelStereoFrame(int(i))->l = 9;
    b.setOrigin(0);
    b.setInitialDelay(5);
    EXPECT_EQ(b.getOrigin(), -5);
    EXPECT_EQ(b.getFrameNB(), 0u);
    EXPECT_EQ(b.keepMargin(3), 5u);  // zeroes min(capacity 6, 3 + 5) frames
    for (int i = 0; i < 6; ++i) EXPECT_EQ(b.getRelStereoFrame(i)->l, 0.0);
}

TEST(SoundBuffer, RotateDropsLeadingFrames) {
    SoundBuffer b(44100);
    b.alloc(10, 2);
    b.setFrameNB(10);
    b.setOrigin(0);
    fillPositions(b);
    b.rotate(0);
    EXPECT_EQ(b.getOrigin(), 0);
    b.rotate(3);
    EXPECT_EQ(b.getOrigin(), 3);
    EXPECT_EQ(b.getRelStereoFrame(0)->l, 3);
    b.rotate(50);  // more than held: the origin moves by the frame count
    EXPECT_EQ(b.getOrigin(), 13);
    SoundBuffer empty(44100);
    empty.alloc(4, 2);
    empty.setOrigin(7);
    empty.rotate(3);
    EXPECT_EQ(empty.getOrigin(), 7);
}

TEST(SoundBuffer, AppendMarginGrowsAndZeroes) {
    SoundBuffer b(48000);
    b.alloc(4, 2);
    b.setFrameNB(4);
    fillPositions(b);
    b.setOrigin(10);
    b.appendMargin(6);
    EXPECT_EQ(b.getFrameNB(), 10u);
    EXPECT_GE(b.getFrameNBAllocated(), 10u);
    EXPECT_EQ(b.getRelStereoFrame(3)->l, 3);  // kept
    for (int i = 4; i < 10; ++i) EXPECT_EQ(b.getRelStereoFrame(i)->l, 0.0);
    EXPECT_EQ(b.getEnd(), 19);
}

TEST(SoundBuffer, OutOfRangeAccessIsReportedNotDereferenced) {
    CaptureStream capture;
    SoundBuffer b(44100);
    b.alloc(4, 2);
    b.setOrigin(10);
    EXPECT_EQ(b.getFrame(9), nullptr);
    EXPECT_EQ(b.getRelFrame(-1), nullptr);
    EXPECT_EQ(capture.os.str(), "Frame 9 inferior to 10\nFrame negative\n");
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
    SoundBuffer a(22050);
    a.alloc(8, 2);
    a.setFrameNB(5);
    a.setOrigin(42);
    a.setStartOffset(44);
    fillPositions(a);
    SoundBuffer b(44100);
    b = a;
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
    EXPECT_EQ(b.getRelStereoFrame(1)->r, 1.0);   // ((0 + 1) * 3 - 1) * 0.5
    EXPECT_EQ(b.getRelStereoFrame(2)->l, 0.0);   // beyond the frame count
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
