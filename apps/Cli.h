#pragma once
// Shared pieces of the command-line host: the job registry, exit codes, progress
// on stderr, and a pass-through level meter.
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

namespace cli {

// Exit codes as command-line tools use them.
enum ExitCode { Success = 0, UsageError = 1, ProcessingError = 2 };

using JobFunction = std::function<int(const QStringList& args)>;

struct Job {
    Job(const char* name, const char* summary, JobFunction run);
};

struct JobInfo {
    std::string summary;
    JobFunction run;
};
std::map<std::string, JobInfo>& jobs();

// Global switches shared by every job.
struct Options {
    bool quiet = false;
    bool verbose = false;
};
Options& options();

// Error text for the user: "<file>: <cause>" from the library's last error.
void printError(const QString& file, const QString& what);

// Draws a progress bar on stderr while `algo` runs, when stderr is a terminal
// and --quiet is off. Returns a handle that detaches when destroyed.
class Progress {
public:
    Progress(SoundAlgo& algo, const QString& label);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// A pass-through that measures peak and RMS of both channels together.
class LevelMeter : public SoundAlgo {
public:
    SoundTools::Status process() override;
    double peakDb() const;
    double rmsDb() const;
    uint64_t frames() const { return mFrames; }

private:
    double mPeak = 0.0;
    double mSum = 0.0;
    uint64_t mFrames = 0;
};

std::unique_ptr<SoundReader> openReader(const QString& name);
// Refuses to replace an existing file unless overwrite is true.
std::unique_ptr<SoundWriter> openWriter(const QString& name, unsigned rate, SoundTools::SoundFormat format,
                                        bool overwrite, unsigned bitRate = 192);

QString formatDb(double db);

}  // namespace cli
