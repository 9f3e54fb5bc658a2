#pragma once
// The jobs layer: what the command-line tool does to a recording (info,
// analyse, split, level, correct, eq, tag), as calls any host can make. Each
// job is one function in its own header (Info.h, Analyse.h, Split.h, Level.h,
// Correct.h, Eq.h, Tag.h): a settings struct in, a report out, or an error
// value that names the file, what failed and the cause in words.
//
// This header holds what every job shares: the error value, the result type,
// the progress callback and the controls of one call.
//
// Conventions of the whole layer:
//  - Standard C++ types only; text is UTF-8 and paths are std::filesystem::path.
//  - Nothing is printed and no process-wide state is read or written: a job
//    reports through its return value and its progress callback.
//  - Settings are checked before anything is read or written; a bad setting
//    (not a number, negative, out of range) is an error naming the setting.
//  - Outputs are atomic: written under a temporary name in the destination
//    folder and renamed when complete; a failed or cancelled job leaves no
//    partial file and never damages an input.
//  - Levels are in dB (dBFS, LUFS for integrated loudness, dBTP for true
//    peaks), times in seconds, positions in frames of the input.
//
// Threading: every job may be called from several threads at once on
// different files. Everything one call needs lives in that call; the progress
// callback runs on the calling thread.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tonewright/Export.h"

namespace tonewright {

// Why a job did not deliver its report.
struct TONEWRIGHT_API JobError {
    enum class Kind {
        Setting,     // a setting is not valid (file names the setting)
        Input,       // an input cannot be read or is not what the job needs
        Output,      // an output cannot be written (or may not be replaced)
        Processing,  // the work itself failed
        Cancelled,   // the progress callback asked to stop
    };
    Kind kind = Kind::Processing;
    std::string file;   // the file (or the setting) the error is about
    std::string what;   // what failed: "cannot read", "will not write", ...
    std::string cause;  // why, in words; may be empty

    // "<file>: <what>: <cause>", the parts that are empty left out.
    std::string message() const;
};

// A job's report, or the error that stopped it.
template <class T>
class JobResult {
public:
    JobResult(T value) : mValue(std::move(value)) {}  // NOLINT: implicit by design
    JobResult(JobError error) : mValue(std::move(error)) {}  // NOLINT

    bool ok() const { return mValue.index() == 0; }
    explicit operator bool() const { return ok(); }
    // The report; only when ok().
    T& value() { return std::get<0>(mValue); }
    const T& value() const { return std::get<0>(mValue); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    // The error; only when !ok().
    const JobError& error() const { return std::get<1>(mValue); }

private:
    std::variant<T, JobError> mValue;
};

// Where a job is. A job of several passes over a file counts each pass:
// fraction() runs from 0 to 1 over the whole job.
struct TONEWRIGHT_API JobProgress {
    int64_t done = 0;   // frames of the current pass done
    int64_t total = 0;  // frames of the current pass (0: not known)
    int pass = 0;       // the current pass, from 0
    int passes = 1;     // passes the job expects (a lossy output may need more)
    double fraction() const;
};

// Called on the job's thread after every block of work (at least every
// 100 ms while a pass runs); returns false to cancel the job, which then
// ends with a JobError of kind Cancelled and leaves no output behind.
using ProgressCallback = std::function<bool(const JobProgress&)>;

// Called on the job's thread with something the user should know that does
// not stop the job ("<file>: <what>", e.g. a statistics file passed over, a
// cover left out), at the moment it happens.
using WarningCallback = std::function<void(const std::string& message)>;

// What every job call takes besides its own settings.
struct JobControl {
    ProgressCallback progress;
    WarningCallback warning;
    // Replace existing outputs (an output may then replace its own input,
    // which stays intact until the new file is complete). Off: an existing
    // file, or a link to a missing one, under an output's name is an error.
    bool overwrite = false;
    // Other inputs of the same run (a batch of files): never replaced by an
    // output of this call, whatever `overwrite` says. Compared by identity
    // (device and inode), so other spellings and hard links count.
    std::vector<std::filesystem::path> otherInputs;
};

}  // namespace tonewright
