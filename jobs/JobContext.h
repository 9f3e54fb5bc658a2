#pragma once
// Private to the library: the state of one job call, shared by the functions
// that do its work. It replaces everything a command-line host would keep in
// globals: the overwrite policy, the inputs of the run, the progress callback,
// the cancellation and the first error, which becomes the call's JobError.
//
// Threading: one context per call, used on the calling thread only (the
// progress callback runs there too, from the block loop's notifyInProgress).
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "tonewright/Jobs.h"
#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundOutputFile.h"
#include "tonewright/SoundReader.h"
#include "tonewright/SoundTools.h"
#include "tonewright/SoundWriter.h"

class SoundAlgo;

namespace tonewright {
namespace detail {

QString qstr(const std::string& utf8);
std::string str(const QString& text);

// The error of a setting named `name` (its field in the settings struct) that
// is wrong, and why.
JobError badSetting(const char* name, const QString& what);
// Whether v lies in [low, high] (false for NaN).
inline bool within(double v, double low, double high) { return v >= low && v <= high; }
// A path's name as Qt's file functions take it, and back: the bytes of the
// name (a path holds them as the system gives them, UTF-8 or not) through
// QFile's decoding, so that a name that is no valid UTF-8 still reaches its file.
QString qpath(const std::filesystem::path& path);
std::filesystem::path fspath(const QString& name);

class JobContext {
public:
    // passes: the passes the job expects, for the progress fraction.
    JobContext(const JobControl& control, int passes);

    bool overwrite() const { return mOverwrite; }
    const std::vector<QString>& inputs() const { return mInputs; }
    // Adds the job's own inputs to those never replaced by another output.
    void addInputs(const QStringList& inputs);

    // Records the first failure of the call (later ones are consequences);
    // returns false so that `return ctx.fail(...)` ends a step.
    bool fail(JobError::Kind kind, const QString& file, const QString& what, const QString& cause = QString());
    bool failed() const { return mFailed; }
    JobError error() const { return mError; }
    // A failure of kind Cancelled when the caller asked to stop, else the
    // failure recorded.
    bool cancelled() const { return mCancelled; }

    // Something the user should know that does not stop the job (a skipped
    // cover, a statistics file passed over): "<file>: <what>", handed to the
    // caller's warning callback at once and kept for the report.
    void warn(const QString& file, const QString& what);
    const std::vector<std::string>& warnings() const { return mWarnings; }

    // Progress: the pass about to run; report() is called by the running pass.
    void setPass(int pass) { mPass = pass; }
    int pass() const { return mPass; }
    void setPasses(int passes) { mPasses = passes > 0 ? passes : 1; }
    int passes() const { return mPasses; }
    // False when the caller asked to stop.
    bool report(int64_t done, int64_t total);

private:
    ProgressCallback mProgress;
    WarningCallback mWarning;
    bool mOverwrite;
    std::vector<QString> mInputs;
    int mPass = 0, mPasses = 1;
    bool mFailed = false, mCancelled = false;
    JobError mError;
    std::vector<std::string> mWarnings;
};

// The calling thread's last library error since clearError(), without the
// name of the class or function that reported it.
void clearError();
QString lastError();

// Opens a recording; null with the cause in lastError(). Warns in ctx when a
// file of more than two channels is mixed down.
std::unique_ptr<SoundReader> openReader(const QString& name, JobContext* ctx = nullptr);
// The channels of a result made from this source: a mono recording stays mono,
// anything else (mixed down if it has more) is written as stereo.
unsigned outputChannels(const SoundReader& source);
// Whether ctx's job may write `output` (SoundOutputFile::mayWrite with the
// run's inputs and policy); false with the cause in lastError().
bool mayWrite(const JobContext& ctx, const QString& output, const QString& input = QString());
// Opens a writer on `name` (usually a temporary); `frames`, the length of the
// stream when known, lets a WAV output of more than 4 GiB be written as RF64.
// Null with the cause in lastError().
std::unique_ptr<SoundWriter> openWriter(const JobContext& ctx, const QString& name, unsigned rate,
                                        SoundTools::SoundFormat format, unsigned bitRate = 192, unsigned channels = 2,
                                        int64_t frames = 0);
// The sample format to ask of a writer for this extension, keeping the source's
// where the container can carry it.
SoundTools::SoundFormat formatFor(const QString& extension, SoundTools::SoundFormat source);
bool isWritableExtension(const QString& extension);
QString writableExtensions();

// One processing pass: `chain` from `reader` into `writer` (or none), its
// progress reported through ctx as pass ctx.pass(), then the writer closed.
// False after ctx.fail("<output>", "cannot <doing>", cause) or a cancellation.
bool runPass(JobContext& ctx, SoundAlgo& chain, SoundReader& reader, SoundWriter* writer, const QString& output,
             const QString& doing);

// The reader of `input`, a fresh temporary of `output` (replacing `file`, which
// removes an earlier attempt's temporary) and its writer in the format the
// output's extension names, at the input's rate and channels, with the input's
// tags (into `tag`, when given, also kept from an earlier attempt). False after
// ctx.fail().
bool openPass(JobContext& ctx, const QString& input, const QString& output, unsigned bitRate,
              std::unique_ptr<SoundReader>& reader, std::unique_ptr<SoundOutputFile>& file,
              std::unique_ptr<SoundWriter>& writer, SoundIDTag* tag = nullptr);

// A finished output moved to its name under ctx's policy; false after ctx.fail().
bool commit(JobContext& ctx, SoundOutputFile& file);

// Rounding of the reports' numbers: dB to 0.01 with silence (and anything
// below -100 dB) at -100, seconds to 0.001.
double roundDb(double db);
double roundSeconds(double seconds);
// hh:mm:ss.sss
QString formatTime(double seconds);

}  // namespace detail
}  // namespace tonewright
