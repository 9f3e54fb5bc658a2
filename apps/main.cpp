// tonewright <job> [options] files...
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "Cli.h"

namespace {
void usage(FILE* to) {
    std::fprintf(to, "usage: tonewright <job> [options] [files...]\n\njobs:\n");
    for (const auto& j : cli::jobs()) std::fprintf(to, "  %-10s %s\n", j.first.c_str(), j.second.summary.c_str());
    std::fprintf(to, "\n'tonewright <job> --help' describes a job.\n");
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tonewright");
    const QStringList args = app.arguments();
    if (args.size() < 2 || args[1] == "--help" || args[1] == "-h") {
        usage(args.size() < 2 ? stderr : stdout);
        return args.size() < 2 ? cli::UsageError : cli::Success;
    }
    const auto job = cli::jobs().find(args[1].toStdString());
    if (job == cli::jobs().end()) {
        std::fprintf(stderr, "tonewright: unknown job '%s'\n", qPrintable(args[1]));
        usage(stderr);
        return cli::UsageError;
    }
    return job->second.run(args.mid(1));
}
