#pragma once
// tw_filetool: runs one of the library's chains from a file to a file (or to
// nothing), for side-by-side timing against other tools in bench/compare.
//
//   tw_filetool <mode> <in> <out|-> [args...]
//
// Modes register themselves with a static FileToolMode object in their own
// source file under bench/filetool/.
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <string>

#include "tonewright/SoundAlgo.h"

namespace filetool {

// Builds the chain for a mode from its extra arguments; null when they are wrong.
using ChainFactory = std::function<SoundAlgo*(const QStringList& args, unsigned sampleRate)>;

// A mode that runs the whole job itself (several passes, several outputs);
// returns the program's exit code.
using FileRunner = std::function<int(const QString& in, const QString& out, const QStringList& args)>;

struct FileToolMode {
    FileToolMode(const std::string& name, const std::string& help, ChainFactory factory);
    FileToolMode(const std::string& name, const std::string& help, FileRunner runner);
};

struct ModeInfo {
    std::string help;
    ChainFactory factory;
    FileRunner runner;  // set instead of factory by modes that run their own job
};
std::map<std::string, ModeInfo>& modes();

}  // namespace filetool
