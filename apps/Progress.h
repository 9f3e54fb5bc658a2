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

}  // namespace cli

