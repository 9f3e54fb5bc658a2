#pragma once
// Progress of a job on stderr: one bar for all the files of a batch, drawn only
// when stderr is a terminal, --quiet is off and the job has run for a second
// (jobs that end sooner draw nothing). It is fed by the block loop's
// notifyInProgress signal through PassWatch, which also turns an interruption
// (SIGINT, SIGTERM) into pleaseStop() on the running algorithm.
//
// Threading: PassWatch objects live on the threads that run the passes; the
// board serialises its drawing with the host's output lock.
#include <QMetaObject>
#include <QString>
#include <mutex>

class SoundAlgo;
class SoundReader;
class SoundWriter;

namespace cli {

// The lock around everything the host writes to stdout and stderr.
std::mutex& outputMutex();

namespace progress {

// Starts the bar of a job of `files` files; a label such as "analyse".
void begin(const QString& label, int files);
// Progress of one file, from 0 to 1.
void set(int file, double fraction);
// Clears the bar for good.
void end();
// Erases the bar's line so that text can be printed; the next update draws it
// again. The caller holds outputMutex().
void clearLine();

}  // namespace progress

// Follows one pass over one file: pass `pass` (from 0) of `passes`.
class PassWatch {
public:
    PassWatch(SoundAlgo& algo, int file, int pass, int passes);
    ~PassWatch();
    PassWatch(const PassWatch&) = delete;
    PassWatch& operator=(const PassWatch&) = delete;

private:
    QMetaObject::Connection mConnection;
    int mFile, mPass, mPasses;
};

// One processing pass of a job: `chain` from `reader` into `writer`, followed
// as pass `pass` of `passes` over file `file`, then the writer closed. False
// when the pass or the writer failed, after printing "<output>: cannot
// <doing>: <cause>" (nothing is printed for an interruption).
bool runPass(SoundAlgo& chain, SoundReader& reader, SoundWriter& writer, const QString& output, const QString& doing,
             int file, int pass, int passes);

}  // namespace cli

#include <memory>
#include "tonewright/SoundIDTag.h"
#include "tonewright/SoundOutputFile.h"
namespace cli {
// One processing pass of a job that writes `output` from `input`: the input's
// reader, a fresh temporary of the output (replacing `file`, which removes an
// earlier attempt's temporary) and its writer in the format the output's
// extension names, at the input's rate and channels, with the input's tags
// (into `tag`, when given, also kept from an earlier attempt). False after
// printing the error.
bool openPass(const QString& input, const QString& output, unsigned bitRate, std::unique_ptr<SoundReader>& reader,
              std::unique_ptr<SoundOutputFile>& file, std::unique_ptr<SoundWriter>& writer, SoundIDTag* tag = nullptr);
}  // namespace cli
