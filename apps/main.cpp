// tonewright <job> [options] files...
//
// The command-line host of the library: every job lives in its own file
// (job_<name>.cpp) and registers itself; this file picks the job, sets up the
// application object and the process-wide conventions (diagnostics on stderr,
// library warnings captured, signals turned into stop requests).
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <iostream>
#include <memory>

#include "Cli.h"
#include "FileNameCodec.h"
#include "tonewright/SoundDebuggableClass.h"

namespace {

void usage(bool toStdout) {
    QString text = "Usage: tonewright <job> [options] [files...]\n\nJobs:\n";
    for (const auto& j : cli::jobs())
        text += QString("  %1 %2\n").arg(QString::fromStdString(j.first), -10).arg(QString::fromStdString(j.second.summary));
    text += "\n'tonewright <job> --help' describes a job; 'tonewright --version' lists the library versions.\n";
    if (toStdout)
        cli::printOut(text);
    else
        cli::printErr(text);
}

// Pictures are drawn with QtGui on images in memory: a GUI application object
// gives the painter its fonts, and the offscreen platform needs no display.
bool wantsPictures(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        const QByteArray a(argv[i]);
        if (a == "--plot" || a.startsWith("--plot=")) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    cli::installMessageHandler();
    // Diagnostic text of the library goes with the other messages, never
    // among the results on stdout.
    SoundDebuggableClass::setOStream(&std::cerr);

    std::unique_ptr<QCoreApplication> app;
    if (wantsPictures(argc, argv)) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName("tonewright");
    cli::installSignalHandlers();

    // Arguments are file names as often as not: decoded as the file system
    // names them, so that a name in another encoding still finds its file.
    cli::installFileNameCodec();
    QStringList args;
    for (int i = 0; i < argc; ++i) args << QFile::decodeName(argv[i]);
    if (args.size() < 2) {
        usage(false);
        return cli::UsageError;
    }
    const QString first = args[1];
    if (first == "--help" || first == "-h" || first == "help") {
        usage(true);
        return cli::finishStdout(cli::Success);
    }
    if (first == "--version" || first == "version") {
        cli::printVersions();
        return cli::finishStdout(cli::Success);
    }
    const auto job = cli::jobs().find(first.toStdString());
    if (job == cli::jobs().end()) {
        cli::printErr(QString("tonewright: unknown job '%1'\n").arg(first));
        usage(false);
        return cli::UsageError;
    }
    return cli::finishStdout(job->second.run(args.mid(1)));
}
