#pragma once
// Real audio output in tests, on machines without a sound card: a PulseAudio
// server of the test program's own with a null sink, what is played recorded
// from the sink's monitor with parec, and the recording lined up with the
// signal that was meant to be heard.
//
// A private server keeps the recording free of anything other programs (or
// other tests run in parallel) play. Its address goes into PULSE_SERVER, so it
// must be started before the process first touches the audio system (before the
// first QAudioOutput): start it from a global test environment.
#include "common/TestKit.h"

namespace tk {

class AudioServer {
public:
    // Starts the process's server (once) and the recording of its monitor. When
    // no server can be started, falls back to a server that already answers;
    // false when there is none, or nothing can be recorded, with the reason in
    // `why`.
    static bool ensure(std::string* why = nullptr);
    // Stops the recording and the private server, if one was started.
    static void shutdown();
};

// What the sink played from now on: the monitor is recorded all the time (parec,
// 16-bit stereo at the sink's 44100 Hz, started with the server, because the
// monitor of an idle null sink takes a second or two to deliver its first
// bytes); a tap marks where it starts and takes what came after.
class MonitorTap {
public:
    MonitorTap();
    // False when the server has no recorder running.
    bool ok() const { return mOk; }
    // Waits until the recording has caught up with the present, then returns
    // everything recorded since the tap was made (full scale 1.0 = 32768).
    Frames take();

private:
    bool mOk = false;
    long long mMark = 0;
    double mStart = 0.0;
};

// Index of the first frame whose magnitude exceeds `threshold`; SIZE_MAX if none.
size_t firstSound(const Frames& f, double threshold = 1.5 / 32768.0);
size_t lastSound(const Frames& f, double threshold = 1.5 / 32768.0);

// The shift of `recording` against `expected` (recording frame k + lag matches
// expected frame k) that maximises their correlation over `span` frames of
// expected starting at `from`, searched within `guess` +- `radius`.
long alignByCorrelation(const Frames& recording, const Frames& expected, long guess, long radius, size_t from,
                        size_t span);

// The signal as the 16-bit output would carry it: truncated toward zero, held
// within range, back to doubles.
Frames quantise16(const Frames& f);

}  // namespace tk
