#include <sstream>

#include "common/TestKit.h"
#include "tonewright/SoundBuffer.h"
#include "tonewright/SoundDebuggableClass.h"

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
// timeline; arithmetic touches the valid frames only; a zero default size is ignored.
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

    SoundBuffer a(22050);
    a.alloc(8, 2);
    a.setOrigin(42);
    a.setStartOffset(44);
    a.setFrameNB(5);
    for (int i = 0; i < 5; ++i) *a.getRelStereoFrame(i) = tk::Frame(42 + i, -(42 + i));
    SoundBuffer b(44100);
    b = a;
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
    const unsigned old = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(0);  // ignored
    EXPECT_EQ(SoundBuffer::getDefaultSize(), old);
}
