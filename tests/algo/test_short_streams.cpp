// Streams shorter than an algorithm's look-ahead (its input overlap): every frame
// must still come out, once, in place.
#include "common/TestKit.h"
#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoElementary.h"

TEST(BlockLoop, StreamsShorterThanTheInputOverlapComeOutWhole) {
    for (size_t n : {1u, 100u, 1023u, 4999u, 5000u, 5001u, 12000u})
        for (unsigned block : {1024u, 64u, 7u}) {
            const tk::Frames in = tk::ramp(n);
            auto lookAhead = SoundRef<SoundAlgoBypass>::make(5000u, 0u, 0u);
            EXPECT_TRUE(tk::framesNear(tk::run(*lookAhead, in, 44100, block), in, 0.0)) << n << ", block " << block;
            // The same look-ahead inside a chain, behind a delay.
            auto chain = SoundRef<SoundAlgoComposite>::make("chain");
            chain->pushAlgo(SoundRef<SoundAlgoDelay>::make(0.001, false).release());
            chain->pushAlgo(SoundRef<SoundAlgoBypass>::make(3000u, 0u, 0u).release());
            EXPECT_TRUE(tk::framesNear(tk::run(*chain, in, 44100, block), tk::delayed(in, 44), 0.0))
                << n << ", block " << block;
        }
}
