// Bytes as a command line of the host: fields separated by NUL bytes, the first
// naming the job, the others its arguments as a shell would pass them. The
// job's own option reading runs on them (JobInfo::parse: no file is written,
// nothing is processed) and must end in one of three ways: the options are
// complete (-1), the help, version or a list was printed (Success), or a usage
// or file error was printed as a line naming the tool and the job.
#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdlib>

#include "Cli.h"
#include "FuzzKit.h"

namespace {

bool startsEveryLine(const QString& text, const QStringList& leads) {
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        bool ok = false;
        for (const QString& lead : leads) ok = ok || line.startsWith(lead);
        if (!ok) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::quiet();
    // The tool always has its application object (the help text is made with
    // it); the replay program makes one of its own.
    static int argc = 1;
    static char program[] = "tonewright";
    static char* argv[] = {program, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
    const QList<QByteArray> fields = QByteArray(reinterpret_cast<const char*>(data), int(size)).split('\0');
    QStringList args;
    for (const QByteArray& f : fields) args << QString::fromUtf8(f);
    const auto job = cli::jobs().find(args.value(0).toStdString());
    if (job == cli::jobs().end()) return 0;

    QString out, err;
    cli::captureOutput(&out, &err);
    const int code = job->second.parse(args);
    cli::captureOutput(nullptr, nullptr);

    const QString name = args[0];
    const QString usage = "tonewright " + name + ": ";
    // Warnings and errors name the tool; a usage error also points to --help.
    if (!startsEveryLine(err, {"tonewright: ", usage, "Try 'tonewright " + name + " --help'."})) std::abort();
    switch (code) {
    case -1:
        if (cli::options().jobs < 1 || cli::options().jobs > 256) std::abort();
        break;
    case cli::Success:
        if (out.isEmpty()) std::abort();
        break;
    case cli::UsageError: {
        const int at = err.indexOf(usage);
        if (at < 0 || err.mid(at + usage.size()).trimmed().isEmpty() || !err.contains("--help")) std::abort();
        break;
    }
    case cli::ProcessingError:
        if (!err.startsWith("tonewright: ") || err.trimmed().size() <= 12) std::abort();
        break;
    default:
        std::abort();
    }
    return 0;
}
