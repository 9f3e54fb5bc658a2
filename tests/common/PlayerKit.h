#pragma once
// Helpers for tests that drive a player: the usual post-processing chain (gate
// then amplifier) and a user interface that turns every knob at random.
#include <atomic>
#include <chrono>
#include <thread>

#include "common/TestKit.h"

class SoundAlgoDevice;
class SoundPlayer;

namespace tk {

// Reads the device as an audio output does (QIODevice::read, `chunk` bytes at a
// time) until it gives nothing more (the end, or a stop) or maxFrames are read.
Frames readDevice(SoundAlgoDevice& device, qint64 chunk = 4096, size_t maxFrames = SIZE_MAX);

// Installs gate → amplifier (no detector) as the player's post-processing chain
// and hands both to the player as its gate and amplifier. The gate's arguments
// and their defaults are the gate constructor's.
void installGateAndAmplifier(SoundPlayer& player, double ampDb, double gateDb = -30.0,
                             double gateFadeTime = 0.01, double gateWindowTime = 0.3);

// Changes the player's settings at random from a thread of its own, every
// `pause`, until stop() or destruction. Audible changes keep the sound through
// (the gate stays at or under -40 dB, the amplifier at or under +4 dB), for tests
// that check what is heard; otherwise any setting goes, silencing ones included.
class RandomPlayerChanges {
public:
    RandomPlayerChanges(SoundPlayer& player, unsigned seed, bool audible, std::chrono::microseconds pause);
    ~RandomPlayerChanges();
    RandomPlayerChanges(const RandomPlayerChanges&) = delete;
    RandomPlayerChanges& operator=(const RandomPlayerChanges&) = delete;

    // Joins the thread; returns how many changes were made.
    int stop();

private:
    std::atomic<bool> mDone{false};
    std::atomic<int> mChanges{0};
    std::thread mThread;
};

}  // namespace tk
