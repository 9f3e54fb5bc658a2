// MP3 readers and writers driven from several threads at once, one object per
// thread: the first writers race to load the encoder library.
#include <thread>

#include "common/TestKit.h"
#include "tonewright/SoundAlgoElementary.h"
#include "tonewright/SoundMp3.h"

TEST(Mp3Threads, WritersAndReadersOnSeveralThreads) {
    constexpr int kThreads = 3;
    const unsigned rate = 44100;
    const tk::Frames in = tk::mixedStereo(rate / 2, rate);
    tk::TempDir dir;
    QString names[kThreads];
    SoundTools::Status written[kThreads] = {};
    size_t readBack[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        names[t] = dir.path(QString("t%1.mp3").arg(t));
        threads.emplace_back([&, t] {
            // No writer exists before these: each constructor may be the one that loads LAME.
            SoundWriterMp3 writer(rate, 2, 160);
            written[t] = writer.open(names[t]);
            if (written[t] != SoundTools::Ok) return;
            tk::MemoryReader source(in, rate);
            SoundAlgoBypass bypass;
            written[t] = bypass.processAll(source, &writer);
            writer.close();
            SoundReaderMp3 reader;
            tk::MemoryWriter sink(rate, false);  // counts only
            if (reader.open(names[t]) == SoundTools::Ok && bypass.processAll(reader, &sink) == SoundTools::Ok)
                readBack[t] = size_t(sink.count());
        });
    }
    for (auto& th : threads) th.join();
    if (!SoundWriterMp3::IsInit()) GTEST_SKIP() << "LAME is not installed";
    const QByteArray first = tk::fileBytes(names[0]);
    EXPECT_GT(first.size(), 1000);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(written[t], SoundTools::Ok) << t;
        EXPECT_EQ(readBack[t], in.size()) << t;
        EXPECT_TRUE(tk::fileBytes(names[t]) == first) << t;  // the same input makes the same stream
    }
}
