#include "Cli.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <sys/stat.h>
#include <vector>

#include "tonewright/SoundOutputFile.h"
#include "Progress.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundUnits.h"
#include "tonewright/SoundSndfile.h"
#include "tonewright/SoundVersion.h"

namespace cli {

std::map<std::string, JobInfo>& jobs() {
    static std::map<std::string, JobInfo> registry;
    return registry;
}

Job::Job(const char* name, const char* summary, JobFunction run, JobFunction parse) {
    jobs()[name] = JobInfo{summary, std::move(run), std::move(parse)};
}

Options& options() {
    static Options o;
    return o;
}

// ---------------------------------------------------------------- parser
namespace {
const QCommandLineOption kQuiet({"q", "quiet"}, "No progress bar.");
const QCommandLineOption kVerbose("verbose", "The library's diagnostic output and warnings, on stderr.");
const QCommandLineOption kVersion("version", "Versions of tonewright and the libraries it uses.");
const QCommandLineOption kOverwrite({"y", "overwrite"}, "Replace existing output files.");
const QCommandLineOption kJson("json", "Print the results as JSON on stdout.");
const QCommandLineOption kJobs({"j", "jobs"}, "Files processed at once (default: one per core).", "n");

int defaultJobs() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : int(n);
}
}  // namespace

void printVersions() {
    QString text = QString("tonewright %1\n").arg(SoundTools::libraryVersion());
    for (const SoundTools::DependencyVersion& d : SoundTools::dependencyVersions())
        text += QString("%1 %2\n")
                    .arg(QString::fromStdString(d.name))
                    .arg(d.version.empty() ? QString("not found") : QString::fromStdString(d.version));
    printOut(text);
}

JobParser::JobParser(const QString& job, const QString& description, int features)
    : mJob(job), mFeatures(features) {
    mParser.setApplicationDescription(description);
    mParser.addHelpOption();
    mParser.addOption(kQuiet);
    mParser.addOption(kVerbose);
    mParser.addOption(kVersion);
    if (features & Writes) mParser.addOption(kOverwrite);
    if (features & Json) mParser.addOption(kJson);
    if (features & Batch) mParser.addOption(kJobs);
}

void JobParser::addInputs(const QString& description, const QString& syntax) {
    mParser.addPositionalArgument("files", description, syntax);
}

namespace {
// A message as one line: control characters (from arguments and file names)
// shown as escapes, so that no text given to the tool can break a message
// into lines of its own or send a terminal control sequence.
QString oneLine(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '\n')
            out += "\\n";
        else if (u == '\t')
            out += "\\t";
        else if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0))
            out += QString("\\x%1").arg(u, 2, 16, QChar('0'));
        else
            out += c;
    }
    return out;
}
}  // namespace

int JobParser::usageError(const QString& message) const {
    printErr(QString("tonewright %1: %2\nTry 'tonewright %1 --help'.\n").arg(mJob, oneLine(message)));
    return UsageError;
}

int JobParser::parse(const QStringList& args) {
    // QCommandLineParser takes the program name first; the job name stands in.
    QStringList full = args;
    if (!full.isEmpty()) full[0] = "tonewright " + mJob;
    if (!mParser.parse(full)) return usageError(mParser.errorText());
    if (mParser.isSet("help")) {
        // The parser names the program by its path; people type "tonewright <job>".
        QString help = mParser.helpText();
        help.replace(QRegularExpression("^Usage: \\S+"), "Usage: tonewright " + mJob);
        printOut(help);
        return Success;
    }
    if (mParser.isSet(kVersion)) {
        printVersions();
        return Success;
    }
    Options& o = options();
    o.quiet = mParser.isSet(kQuiet);
    o.verbose = mParser.isSet(kVerbose);
    o.overwrite = (mFeatures & Writes) && mParser.isSet(kOverwrite);
    o.json = (mFeatures & Json) && mParser.isSet(kJson);
    o.jobs = defaultJobs();
    if ((mFeatures & Batch) && mParser.isSet(kJobs)) {
        bool ok = false;
        const int n = mParser.value(kJobs).toInt(&ok);
        if (!ok || n < 1 || n > 256) return usageError("--jobs needs a whole number from 1 to 256");
        o.jobs = n;
    }
    SoundDebuggableClass::setVerbose(o.verbose);
    mInputs = mParser.positionalArguments();
    setRunInputs(mInputs);
    return -1;
}

bool JobParser::number(const QCommandLineOption& o, double min, double max, double* out) const {
    const QString text = mParser.value(o);
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < min || v > max) {
        usageError(QString("--%1 needs a number from %2 to %3, not '%4'")
                       .arg(o.names().last())
                       .arg(min)
                       .arg(max)
                       .arg(text));
        return false;
    }
    *out = v;
    return true;
}

// ---------------------------------------------------------------- messages
namespace {
std::mutex gOutputMutex;

int gStdoutError = 0;  // the first errno of a failed write to stdout, under gOutputMutex

QString* gCaptureOut = nullptr;
QString* gCaptureErr = nullptr;

void writeLocked(FILE* to, const QString& text) {
    std::lock_guard<std::mutex> lock(gOutputMutex);
    if (QString* capture = to == stdout ? gCaptureOut : gCaptureErr) {
        capture->append(text);
        return;
    }
    progress::clearLine();
    const QByteArray bytes = text.toLocal8Bit();
    errno = 0;
    const bool written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to) == size_t(bytes.size());
    if ((std::fflush(to) != 0 || !written) && to == stdout && gStdoutError == 0) gStdoutError = errno ? errno : EIO;
}

thread_local QString tLastMessage;
QtMessageHandler gPreviousHandler = nullptr;

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        if (gPreviousHandler) gPreviousHandler(type, context, text);
        return;
    }
    if (type == QtWarningMsg || type == QtCriticalMsg) tLastMessage = text;
    if (options().verbose) printErr(QString("tonewright: %1: %2\n").arg(type == QtCriticalMsg ? "critical" : "warning", text));
}
}  // namespace

std::mutex& outputMutex() { return gOutputMutex; }

void printOut(const QString& text) { writeLocked(stdout, text); }

void captureOutput(QString* out, QString* err) {
    std::lock_guard<std::mutex> lock(gOutputMutex);
    gCaptureOut = out;
    gCaptureErr = err;
}

int finishStdout(int exitCode) {
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(gOutputMutex);
        errno = 0;
        if (std::fflush(stdout) != 0 && gStdoutError == 0) gStdoutError = errno ? errno : EIO;
        error = gStdoutError;
    }
    if (error == 0) return exitCode;
    printErr(QString("tonewright: cannot write the results to standard output: %1\n")
                 .arg(QString::fromLocal8Bit(std::strerror(error)).toLower()));
    return exitCode == Success ? ProcessingError : exitCode;
}
void printErr(const QString& text) { writeLocked(stderr, text); }

void printError(const QString& file, const QString& what, const QString& cause) {
    QString line = "tonewright: ";
    if (!file.isEmpty()) line += file + ": ";
    line += what;
    QString c = cause;
    // The file is written under a temporary name: the user knows it by its own.
    static const QRegularExpression temporary(QString("[^\\s:]*") + QRegularExpression::escape(SoundOutputFile::temporaryPrefix()) +
                                              "\\d+-\\d+(?:\\.[A-Za-z0-9]+)?");
    if (!file.isEmpty()) c.replace(temporary, file);
    // Library messages often start with the file's name; it is said already.
    for (const QString& lead : {file + " : ", file + ": "})
        if (!file.isEmpty() && c.startsWith(lead)) c = c.mid(lead.size());
    if (!c.trimmed().isEmpty()) line += ": " + c.trimmed();
    printErr(oneLine(line) + "\n");
}

void printWarning(const QString& file, const QString& what) {
    printErr(oneLine(QString("tonewright: %1%2warning: %3").arg(file, file.isEmpty() ? "" : ": ", what.trimmed())) +
             "\n");
}

void installMessageHandler() { gPreviousHandler = qInstallMessageHandler(messageHandler); }

void clearError() { tLastMessage.clear(); }

QString lastError() {
    QString text = tLastMessage.isEmpty() ? SoundDebuggableClass::getError() : tLastMessage;
    // The library names the failing class or function before its message; the
    // user needs the message.
    static const QRegularExpression who("^\\s*(?:Sound\\w*|RMSStepDetector|FFTA\\w*|Utilities)(?:::\\w+)*\\s*:\\s*");
    for (;;) {
        const QRegularExpressionMatch m = who.match(text);
        if (!m.hasMatch()) break;
        text = text.mid(m.capturedLength());
    }
    return text.trimmed();
}

// ---------------------------------------------------------------- JSON
void printJson(const QJsonValue& value) {
    QJsonDocument doc;
    if (value.isArray())
        doc.setArray(value.toArray());
    else
        doc.setObject(value.toObject());
    printOut(QString::fromUtf8(doc.toJson(QJsonDocument::Indented)));
}

void printJsonResults(const std::vector<QJsonObject>& results) {
    if (results.size() == 1) {
        printJson(results[0]);
        return;
    }
    QJsonArray array;
    for (const QJsonObject& o : results) array.append(o);
    printJson(array);
}

double roundDb(double db) {
    if (!std::isfinite(db) || db < -100.0) return -100.0;
    return std::round(db * 100.0) / 100.0;
}

double roundSeconds(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

// ---------------------------------------------------------------- files
std::unique_ptr<SoundReader> openReader(const QString& name) {
    std::unique_ptr<SoundReader> reader = tonewright::openRecording(name);
    if (reader && reader->getFileChannelNum() > 2)
        printWarning(name, QString::fromStdString(tonewright::mixDownNote(reader->getFileChannelNum())));
    return reader;
}

namespace {
std::vector<QString> gRunInputs;

}  // namespace

void setRunInputs(const QStringList& inputs) { gRunInputs.assign(inputs.begin(), inputs.end()); }

const std::vector<QString>& runInputs() { return gRunInputs; }

QString normalisedPath(const QString& name) {
    const QFileInfo info(name);
    // The folder by its real path (links and "." resolved) when it exists.
    const QString folder = QFileInfo(info.path()).canonicalFilePath();
    if (!folder.isEmpty()) return QDir(folder).filePath(info.fileName());
    return QDir::cleanPath(info.absoluteFilePath());
}

QString firstRepeatedName(const std::vector<QString>& names) {
    QSet<QString> seen;
    for (const QString& name : names) {
        const QString key = normalisedPath(name);
        if (seen.contains(key)) return name;
        seen.insert(key);
    }
    return QString();
}

bool mayWrite(const QString& output, const QString& input) {
    QString why;
    if (SoundOutputFile::mayWrite(output, input, gRunInputs, options().overwrite, &why)) return true;
    SoundDebuggableClass::setError(why);
    return false;
}

unsigned outputChannels(const SoundReader& source) { return source.getFileChannelNum() == 1 ? 1u : 2u; }

std::unique_ptr<SoundWriter> openWriter(const QString& name, unsigned rate, SoundTools::SoundFormat format,
                                        unsigned bitRate, unsigned channels, int64_t frames) {
    clearError();
    if (!mayWrite(name)) return nullptr;
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(name, rate, bitRate, format, channels));
    if (!writer || !isWritableExtension(QFileInfo(name).suffix())) {
        const std::string refusal = tonewright::refusalOf(QFileInfo(name).suffix().toStdString());
        SoundDebuggableClass::setError(refusal.empty() ? "no writer for this file name (use " + writableExtensions() + ")"
                                                       : QString::fromStdString(refusal));
        return nullptr;
    }
    // A WAV output of more than 4 GiB is written as RF64.
    if (auto* sndfile = dynamic_cast<SoundWriterSndfile*>(writer.get())) sndfile->setExpectedFrames(frames);
    if (writer->open(name) != SoundTools::Ok) return nullptr;
    return writer;
}

bool isWritableExtension(const QString& extension) { return tonewright::isWritableExtension(extension.toStdString()); }

QString writableExtensions() { return QString::fromStdString(tonewright::writableExtensions()); }

QString bitRateHelp(const QString& what) {
    return QString("Bit rate of MP3 %1 in kbit/s (default 192). MP3 comes out 0.72 dB quieter than WAV, FLAC or Ogg: "
                   "the encoder is fed 95% of full scale, leaving room for its overshoots.")
        .arg(what);
}

SoundTools::SoundFormat formatFor(const QString& extension, SoundTools::SoundFormat source) {
    return tonewright::sampleFormatFor(extension.toStdString(), source);
}

// ---------------------------------------------------------------- text
QString formatDb(double db) {
    return std::isfinite(db) && db > -100.0 ? QString::number(db, 'f', 1) + " dB" : QString("-inf dB");
}

QString formatLoudness(double v, const char* unit) {
    return (std::isfinite(v) ? QString::number(v, 'f', 1) : QString("-inf")) + " " + unit;
}

QString formatTime(double seconds) { return QString::fromStdString(SoundTools::timeText(seconds)); }

// ---------------------------------------------------------------- interruption
namespace {
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onSignal(int sig) {
    if (gInterrupted.exchange(true)) {
        // A second signal: the user insists. The process ends now, without the
        // jobs' clean-up, so their temporaries go here.
        SoundOutputFile::removeTemporariesNow();
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
}
}  // namespace

void installSignalHandlers() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGHUP, onSignal);
    // Past the file size limit (ulimit -f) a write fails with EFBIG, which is
    // reported like a full disk, instead of the process dying silently.
    std::signal(SIGXFSZ, SIG_IGN);
}

bool interrupted() { return gInterrupted.load(); }

QString OutputNaming::outputFor(const QString& input) const {
    if (!output.isEmpty() && !toFolder) return output;
    const QFileInfo in(input);
    const QString ext = format.isEmpty() ? in.suffix().toLower() : format;
    return QDir(toFolder ? output : in.path()).filePath(in.completeBaseName() + suffix + "." + ext);
}

int readOutputNaming(const JobParser& p, const QCommandLineOption& output, const QCommandLineOption& format,
                     const QString& suffix, OutputNaming* naming) {
    OutputNaming& n = *naming;
    n.suffix = suffix;
    n.format = p.isSet(format) ? p.value(format).toLower() : QString();
    if (p.isSet(format) && !isWritableExtension(n.format))
        return p.usageError("--format must be one of " + writableExtensions());
    n.output = p.isSet(output) ? p.value(output) : QString();
    n.toFolder = !n.output.isEmpty() && (QFileInfo(n.output).isDir() || n.output.endsWith('/'));
    const bool toFile = !n.output.isEmpty() && !n.toFolder;
    const QString outSuffix = QFileInfo(n.output).suffix().toLower();
    if (toFile && p.inputs().size() > 1) return p.usageError("with several inputs, --output must be a folder");
    if (toFile && !isWritableExtension(outSuffix))
        return p.usageError("the name of --output must end in one of " + writableExtensions());
    if (toFile && !n.format.isEmpty() && outSuffix != n.format)
        return p.usageError("--format and the extension of --output disagree");
    // A missing folder is made when the first output is written into it.
    std::vector<QString> outputs;
    for (const QString& input : p.inputs()) outputs.push_back(n.outputFor(input));
    const QString repeated = firstRepeatedName(outputs);
    if (!repeated.isEmpty()) return p.usageError("two inputs would write the same files, " + repeated);
    return -1;
}

}  // namespace cli
