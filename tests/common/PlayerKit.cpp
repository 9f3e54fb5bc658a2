#include "PlayerKit.h"

#include <random>

#include "tonewright/SoundAlgoComposite.h"
#include "tonewright/SoundAlgoDevice.h"
#include "tonewright/SoundAlgoNoiseGate.h"
#include "tonewright/SoundAlgoRMSAmplifier.h"
#include "tonewright/SoundPlayer.h"

namespace tk {

Frames readDevice(SoundAlgoDevice& device, qint64 chunk, size_t maxFrames) {
    std::vector<char> buf(static_cast<size_t>(chunk));
    Frames out;
    for (qint64 n = 1; n > 0 && out.size() < maxFrames;) {
        const size_t left = maxFrames - out.size();
        n = std::max<qint64>(0, device.read(buf.data(), left < size_t(chunk) / 4 ? qint64(left) * 4 : chunk));
        EXPECT_EQ(n % 4, 0) << "whole frames only";
        const Frames part = fromPcm16(buf.data(), size_t(n));
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

void installGateAndAmplifier(SoundPlayer& player, double ampDb, double gateDb, double gateFadeTime,
                             double gateWindowTime) {
    auto post = SoundRef<SoundAlgoComposite>::make("post");
    auto gate = SoundRef<SoundAlgoNoiseGate>::make(gateDb, gateFadeTime, gateWindowTime);
    auto amp = SoundRef<SoundAlgoRMSAmplifier>::make(ampDb, nullptr);
    player.setNoiseGate(gate.get());
    player.setAmplifier(amp.get());
    post->pushAlgo(gate.release());
    post->pushAlgo(amp.release());
    player.setPostProcessingChain(post.release());
}

RandomPlayerChanges::RandomPlayerChanges(SoundPlayer& player, unsigned seed, bool audible,
                                         std::chrono::microseconds pause) {
    mThread = std::thread([this, &player, seed, audible, pause] {
        std::mt19937 gen(seed);
        std::uniform_int_distribution<int> what(0, 9), band(0, 10);
        std::uniform_real_distribution<double> level(-8.0, 8.0);
        while (!mDone.load()) {
            switch (what(gen)) {
                case 0: player.switchEq(what(gen) < 7); break;
                case 1: player.switchBassBoost(what(gen) < 4); break;
                case 2: player.setEqPreset(unsigned(band(gen))); break;
                case 3: player.setEqFreq(unsigned(band(gen)), 100.0 + 100.0 * band(gen)); break;
                case 4: player.setEqWidth(unsigned(band(gen)), 0.5 + 0.2 * band(gen)); break;
                case 5: player.setEqGain(0.5 + 0.05 * band(gen)); break;
                case 6: player.setGateLevel(audible ? -40.0 - band(gen) : level(gen) * 8.0); break;
                case 7: player.setAmpLevel(audible ? level(gen) - 4.0 : level(gen)); break;
                default: player.setEqLevel(unsigned(band(gen)), level(gen)); break;
            }
            (void)player.getEqGain();
            mChanges.fetch_add(1);
            std::this_thread::sleep_for(pause);
        }
    });
}

RandomPlayerChanges::~RandomPlayerChanges() { stop(); }

int RandomPlayerChanges::stop() {
    mDone = true;
    if (mThread.joinable()) mThread.join();
    return mChanges.load();
}

}  // namespace tk
