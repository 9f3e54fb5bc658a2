#pragma once
// SoundAlgoAmpliInterface: the level control shared by amplifiers and limiters.
// A player sets the target level through it and asks for the gain that applies
// at a time of the stream.
//
// Threading: implementations let setLevel, reset and getLevel be called from a
// thread other than the one running process(); they serialise on a level lock,
// so a change takes effect between blocks.
#include "tonewright/Export.h"

class TONEWRIGHT_API SoundAlgoAmpliInterface {
public:
    // The target level (amplifier) or make-up gain (limiter), in dB.
    virtual void setLevel(double levelDb) = 0;
    // Back to the initial gain state.
    virtual void reset() = 0;
    // The gain or level in dB that applies `seconds` into the stream.
    virtual double getLevel(double seconds) = 0;
    // A new piece starts.
    virtual void changeSong() = 0;

protected:
    ~SoundAlgoAmpliInterface() = default;
};
