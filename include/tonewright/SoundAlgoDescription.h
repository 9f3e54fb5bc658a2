#pragma once
// Descriptions of the processing algorithms: JSON objects that SoundAlgo's
// registry (SoundAlgo::createFromJSon) builds algorithms from, so that a chain
// can be stored, exchanged with another program (the Python package saves and
// loads its chains in this form) and rebuilt.
//
// Every description has "Class" (the class name) and optionally "Id". The keys
// of each class follow; keys with a default may be left out, the others must
// be there. Numbers must be finite and within the range given, or the
// description is refused (null, the reason naming the class and the key).
// Levels are in dB, durations in seconds, frequencies in Hz. Filter types are
// the names "LowPass", "BandPass", "BandStop", "HighPass", "LowShelf",
// "BandEq" (peaking) and "HighShelf".
//
//   SoundAlgoScale       "Gain" (-200 .. 200 dB)
//   SoundAlgoAdd, SoundAlgoAddSqr
//                        "Inputs" (2 .. 64, default 2), "Weights" (one number per
//                        input, default all 1)
//   SoundAlgoSub         "Inputs" (2 .. 64, default 2)
//   SoundAlgoDelay       "Seconds" (0 .. 60), "AsOverlap" (bool, default false)
//   SoundAlgoComposite   "Branches" (an array of branches, each an array of
//                        descriptions), "SharedInputs" (default true),
//                        "ParallelBranches" (default true)
//   SoundAlgoFilter      "Filters": objects with "Design": "Butterworth"
//                        ("Order" 1, 4 or 6; "Type" LowPass or HighPass;
//                        "Frequency"), "Biquad" ("Type", "Frequency", and
//                        "Width" in octaves or "Q", "Gain" default 0) or
//                        "AWeighting"; "OutputGain" (default 0)
//   SoundAlgoFilterBiquad
//                        "Bands": objects with "Type", "Frequency", "Width"
//                        (octaves, 0.01 .. 10), "Gain" (-60 .. 60 dB);
//                        "OutputGain" (default 0)
//   SoundAlgoFilterCrossover
//                        "Frequency" (two outputs: low band, high band)
//   SoundAlgoEqFIR       "Type" (LowPass, BandPass, BandStop, HighPass), "Low",
//                        "High" (bands only; both 50 Hz or more: the design
//                        time grows with the square of rate / corner),
//                        "OutputGain" (default 0)
//   SoundAlgoEqFFT       "Type", "Low", "High" (bands only), "Size" (power of
//                        two 256 .. 65536, default 8192)
//   SoundAlgoLimiter     "Level" (-60 .. 60, default 0), "LookAhead" (0 .. 1,
//                        default 0.005), "Release" (0 .. 60, default 0.1)
//   SoundAlgoSimpleLimiter
//                        "LookAhead" (0 .. 1, default 0.005)
//   SoundAlgoTruePeakLimiter
//                        "Ceiling" (-60 .. 0 dBTP, default -1), "LookAhead"
//                        (0.0001 .. 1, default 0.0015), "Release" (0 .. 60,
//                        default 0.05)
//   SoundAlgoNoiseGate   "Threshold" (-200 .. 0, default -30), "Fade" (0 .. 60,
//                        default 0.01), "Window" (0.001 .. 60, default 0.3)
//   SoundAlgoBassBoost   "Gain" (0 .. 24, default 8), "Frequency" (default
//                        150), "UpperFrequency" (default 600), "Factor"
//                        (default 0.1)
//   SoundAlgoRMSAmplifier
//                        "Target" (-60 .. 0), "Detector" (an RMSStepDetector
//                        description with its regions; none: a fixed gain of
//                        the target), "MaxRampTime" (0 .. 60, default 3),
//                        "Smoothing" (0 .. 100, default 0), "BelowTarget"
//                        (0 .. 60, default 10), "MaxGain" (0 .. 60, default 12)
//   SoundAlgoFilterMultibandAmplifier
//                        "Frequencies" (ascending), "Level", "LookAhead",
//                        "Release", "RampTime", "Detector", "Splitter"
//                        ("FirstOrder", "Biquad", "Crossover"; default
//                        Crossover), "Smoothing", "BelowTarget", "Offsets"
//   SoundAlgoFFTMultibandAmplifier
//                        "Frequencies" (ascending), "Level", "LookAhead",
//                        "Release", "Detector", "Size" (default 8192)
//   SoundPlayerEqualizer the player's equaliser offline (a SoundAlgoFilter of
//                        its bands): "Preset" (a preset name, default none),
//                        "Gains" (dB per band, -24 .. 24, after the preset's),
//                        "BassBoost" (dB, 0 for off, default 0), "OutputGain"
//
// The analysis classes keep their own keys: RMSStepDetector, SoundAlgoStats,
// SoundAlgoGapFinder.
//
// Threading: the registry is filled when the library loads; building may be
// done from any thread.
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "tonewright/Export.h"

class SoundAlgo;

namespace SoundTools {

// The algorithm a description gives (the caller owns one reference), or null
// with the reason in `why`: a missing or unknown class, or the key at fault
// and what it must be. Unlike SoundAlgo::createFromJSon the reason belongs to
// this call, not to the process-wide error text, so that threads building at
// once each get their own.
TONEWRIGHT_API SoundAlgo* buildFromDescription(const QJsonObject& description, QString* why);

// The names of the classes descriptions can name, sorted.
TONEWRIGHT_API QStringList describedClasses();

}  // namespace SoundTools
