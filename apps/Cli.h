#pragma once
// The frame every job of the command-line host shares: the job registry, the
// options all jobs accept, exit codes, messages, the overwrite rule, output on
// stdout (text and JSON) and interruption by signals.
//
// Conventions: results (summaries, JSON) go to stdout; progress, warnings and
// errors go to stderr. A job returns Success, UsageError (bad command line) or
// ProcessingError (a file could not be read, written or processed; the message
// names the file and the cause).
//
// Threading: the registry and the parsed options are set up on the main thread
// before any job starts. printOut/printErr and the error capture may be called
// from the batch's worker threads.
#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tonewright/SoundReader.h"
#include "tonewright/SoundWriter.h"

namespace cli {

enum ExitCode { Success = 0, UsageError = 1, ProcessingError = 2, InterruptedExit = 130 };

// ---------------------------------------------------------------- jobs
using JobFunction = std::function<int(const QStringList& args)>;

struct JobInfo {
    std::string summary;
    JobFunction run;
    // Reads and checks the command line as run does, and stops there: -1 when
    // the job would go on, else the exit code run would return (after --help,
    // --version or a usage error, whose message has been printed). Touches no
    // file beyond looking at what exists.
    JobFunction parse;
};
std::map<std::string, JobInfo>& jobs();

// A static Job object in a job's source file registers it.
struct Job {
    Job(const char* name, const char* summary, JobFunction run, JobFunction parse);
};

// ---------------------------------------------------------------- shared options
struct Options {
    bool quiet = false;      // no progress bar
    bool verbose = false;    // the library's diagnostic output and warnings on stderr
    bool overwrite = false;  // replace existing files
    bool json = false;       // results as JSON on stdout
    int jobs = 1;            // files processed at once
};
// The options of the job being run (set by JobParser::parse).
Options& options();

// The command line of one job, with the options every job shares.
class JobParser {
public:
    // Which shared options the job offers besides --help, --quiet, --verbose
    // and --version.
    enum Feature { Writes = 1, Json = 2, Batch = 4 };

    JobParser(const QString& job, const QString& description, int features);
    QCommandLineParser& parser() { return mParser; }
    QStringList values(const QCommandLineOption& o) const { return mParser.values(o); }
    void addOption(const QCommandLineOption& option) { mParser.addOption(option); }
    void addInputs(const QString& description, const QString& syntax);

    // Parses the arguments (args[0] is the job name). Returns -1 when the job
    // should go on, otherwise the exit code to return at once (after --help,
    // --version or a usage error, whose message has been printed).
    int parse(const QStringList& args);

    const QStringList& inputs() const { return mInputs; }
    bool isSet(const QCommandLineOption& o) const { return mParser.isSet(o); }
    QString value(const QCommandLineOption& o) const { return mParser.value(o); }

    // Reads a number option (its default when absent) and checks its range;
    // prints a usage error and returns false when it is not a number in range.
    bool number(const QCommandLineOption& o, double min, double max, double* out) const;
    // Prints "tonewright <job>: <message>" and the hint to --help; returns UsageError.
    int usageError(const QString& message) const;

private:
    QString mJob;
    QCommandLineParser mParser;
    int mFeatures;
    QStringList mInputs;
};

// Where a job that writes one file per input puts each output: -o as a file
// (one input only) or as a folder, else beside the input, named
// '<name><suffix>.<ext>'; -f picks the format, else the input's.
struct OutputNaming {
    QString output;  // -o as given, empty when absent
    QString format;  // -f in lower case, empty for the input's
    bool toFolder = false;
    QString suffix;
    QString outputFor(const QString& input) const;
};
// Reads -o and -f, checks them against the inputs (and that no two inputs
// would write the same file) and creates the output folder. Returns -1 with
// `naming` filled, or the exit code after printing the error.
int readOutputNaming(const JobParser& p, const QCommandLineOption& output, const QCommandLineOption& format,
                     const QString& suffix, OutputNaming* naming);

// ---------------------------------------------------------------- messages
// Serialised writes to stdout and stderr (workers print whole lines).
void printOut(const QString& text);
void printErr(const QString& text);
// While set (non-null), what printOut and printErr would write is appended to
// these strings instead; for checking the messages of a command line without
// a terminal. Main thread only, with no batch running.
void captureOutput(QString* out, QString* err);
// At the end of the process: when results could not be written to stdout (a
// full disk, /dev/full, a closed pipe), says so on stderr and turns a success
// into ProcessingError; otherwise returns exitCode.
int finishStdout(int exitCode);
// "tonewright: <file>: <what>: <cause>" on stderr.
void printError(const QString& file, const QString& what, const QString& cause = QString());
void printWarning(const QString& file, const QString& what);
// "tonewright <version>" and one line per library it uses ("not found" for a missing one).
void printVersions();

// The library reports failures through SoundDebuggableClass::setError, which
// also emits the text as a Qt warning on the failing thread. The host captures
// those warnings per thread (so that files processed side by side do not take
// each other's causes) and shows them only with --verbose.
void installMessageHandler();
// Forgets the calling thread's last library message.
void clearError();
// The calling thread's last library message since clearError(), or the
// library's last error when the thread has none.
QString lastError();

// ---------------------------------------------------------------- JSON on stdout
void printJson(const QJsonValue& value);
// One file's result as an object, several as an array of them in input order.
void printJsonResults(const std::vector<QJsonObject>& results);
// Numbers rounded for people: dB to 0.01, seconds to 0.001. Non-finite values
// (silence in dB) become the library's floor of -100 dB.
double roundDb(double db);
double roundSeconds(double seconds);

// ---------------------------------------------------------------- files
std::unique_ptr<SoundReader> openReader(const QString& name);
// The channels of a result made from this source: a mono recording stays mono,
// anything else (mixed down if it has more) is written as stereo.
unsigned outputChannels(const SoundReader& source);
// Opens a writer on `name`, which is usually an OutputFile's temporary.
// channels: those of the file written (1 or 2), see outputChannels. `frames`,
// the length of the stream when known, lets a WAV output of more than 4 GiB be
// written as RF64.
std::unique_ptr<SoundWriter> openWriter(const QString& name, unsigned rate, SoundTools::SoundFormat format,
                                        unsigned bitRate = 192, unsigned channels = 2, int64_t frames = 0);
// Whether the output may be written (checked before any work is done; the
// final move checks again, see OutputFiles.h). False, with the cause in
// lastError(), when something has the name and -y was not given (a dangling
// link included), when it is a folder, or when it is one of the job's inputs:
// compared by identity (device and inode), so that hard links and other
// spellings of a name count. An output may replace its own `input` with -y
// (the input stays intact until the new file is complete); any other input,
// and every input for an output without `input` (pictures, statistics), never.
bool mayWrite(const QString& output, const QString& input = QString());
// The inputs of the job being run (set by JobParser::parse).
void setRunInputs(const QStringList& inputs);
const std::vector<QString>& runInputs();
// An absolute name with the folder's links, "." and ".." resolved, for
// comparing output names.
QString normalisedPath(const QString& name);
// The first of the names that is another's by normalisedPath; empty when all
// differ.
QString firstRepeatedName(const std::vector<QString>& names);
// The sample format to ask of a writer for this extension, keeping the source's
// where the container can carry it.
SoundTools::SoundFormat formatFor(const QString& extension, SoundTools::SoundFormat source);
// The help text of --bitrate (what is told of MP3 output); `what` is
// "output" or "pieces".
QString bitRateHelp(const QString& what);
// Extensions the writers handle.
bool isWritableExtension(const QString& extension);
// "wav, flac, ogg, mp3"
QString writableExtensions();

// ---------------------------------------------------------------- text
// "-14.2 dB", or "-inf dB" for silence.
QString formatDb(double db);
// LUFS or dBTP with one decimal ("-14.2 LUFS"), "-inf" for silence.
QString formatLoudness(double v, const char* unit);
// hh:mm:ss.sss, as the library prints times.
QString formatTime(double seconds);

// ---------------------------------------------------------------- interruption
// SIGINT, SIGTERM and SIGHUP ask running jobs to stop; a second one ends the
// process at once, after removing the temporaries of unfinished outputs.
// SIGXFSZ is ignored: a write past the file size limit fails as on a full disk.
void installSignalHandlers();
bool interrupted();

}  // namespace cli
