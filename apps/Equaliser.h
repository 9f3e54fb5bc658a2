#pragma once
// The command-line face of the player's equaliser, shared by the eq and play
// jobs: the options (a preset by name or number, band gains, the bass boost),
// the preset list and the one-line description. The layout and presets are
// the library's (tonewright/Eq.h).
#include <QCommandLineOption>
#include <QJsonObject>
#include <QString>

#include "tonewright/Eq.h"

namespace cli {

class JobParser;

// The command-line options shared by eq and play.
struct EqOptions {
    QCommandLineOption preset{
        {"p", "preset"}, "Equaliser preset, by name or by the number --list-presets shows.", "name"};
    QCommandLineOption band{{"b", "band"},
                            "Gain of one equaliser band: <Hz>=<dB> with a band's frequency (60, 120, 250, 500, 1k, "
                            "2k, 4k, 8k, 15k) or <n>=<dB> with its number from 1; repeatable, applied after "
                            "--preset.",
                            "band=dB"};
    QCommandLineOption bassBoost{"bass-boost", "Switch on the bass-boost band (150 Hz)."};
    QCommandLineOption bassBoostGain{"bass-boost-gain", "Gain of the bass-boost band in dB (default 8).", "dB", "8"};
    QCommandLineOption listPresets{"list-presets", "List the equaliser presets and their band gains, then stop."};
    void addTo(JobParser& p) const;
    // Reads the options into s: the preset by its name, every band's gain (the
    // preset's, then --band changes), the bass boost. False after printing a
    // usage error.
    bool read(const JobParser& p, tonewright::EqSettings& s) const;
};

// "Rock: 4 3 2 0 -1 0 2 3 4 dB" lines.
QString presetList();
// Prints the preset list, as text or JSON.
void printPresetList();

// "60:+4.0 120:+4.0 ... dB, bass boost +8.0 dB at 150 Hz, gain -2.0 dB"
QString describe(const tonewright::EqSettings& s);
// The "equaliser" object of the JSON results.
QJsonObject equaliserJson(const tonewright::EqSettings& s);

}  // namespace cli
