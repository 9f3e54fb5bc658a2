#pragma once
// The player's equaliser as the eq and play jobs see it: its bands (nine
// peaking bands and the bass-boost band), its presets, and the settings a
// command line gives them (a preset by name or number, band gains, the bass
// boost). The layout and presets are the player's own, read from a player
// built without a source; the eq job runs the same bands offline through a
// SoundAlgoFilter designed for the file's rate.
//
// Threading: equaliserLayout() is built once, on the main thread, before any
// batch starts; afterwards it is only read.
#include <QCommandLineOption>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <vector>

#include "tonewright/SoundAlgoFilter.h"

namespace cli {

class JobParser;

struct EqBand {
    double freq = 0, width = 0, gain = 0;  // Hz, octaves, dB
};

struct EqPreset {
    QString name;
    std::vector<double> levels;  // dB per equaliser band
};

struct EqualiserLayout {
    std::vector<EqBand> bands;  // the equaliser bands, gains 0
    EqBand bassBoost;           // with its default gain
    std::vector<EqPreset> presets;
    double range = 8.0;         // dB each way a band may be set
};
const EqualiserLayout& equaliserLayout();

// What a command line asks of the equaliser.
struct EqSettings {
    int preset = -1;                 // index into the presets; -1: none
    std::vector<double> gains;       // dB per equaliser band (the preset's, then --band changes)
    bool bassBoost = false;
    double bassBoostGain = 8.0;      // dB
    double outputGain = 0.0;         // dB
    bool any() const;                // some band, the boost or the gain changes the sound
};

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
    // Reads the options into s; false after printing a usage error.
    bool read(const JobParser& p, EqSettings& s) const;
};

// "Rock: 4 3 2 0 -1 0 2 3 4 dB" lines, or JSON.
QString presetList();
QJsonObject presetListJson();

// The equaliser bands of the settings that change the sound, as builders of a
// new filter algorithm designed at the rate of each run, the output gain on its
// last filter. Bands of 0 dB are left out (they pass the sound unchanged).
SoundRef<SoundAlgoFilter> buildEqualiser(const EqSettings& s);

// "60:+4.0 120:+4.0 ... dB, bass boost +8.0 dB at 150 Hz, gain -2.0 dB"
QString describe(const EqSettings& s);
QJsonObject toJson(const EqSettings& s);

}  // namespace cli
