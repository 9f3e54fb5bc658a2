#include "Progress.h"

#include <unistd.h>

#include <QByteArray>
#include <QObject>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Cli.h"
#include "tonewright/SoundAlgo.h"

namespace cli {
namespace progress {
namespace {

using Clock = std::chrono::steady_clock;

struct Board {
    bool enabled = false;
    bool drawn = false;
    QString label;
    std::vector<double> fractions;
    Clock::time_point start;
    Clock::time_point lastDraw;
    double delay = 1.0;  // seconds before the bar appears
};

Board& board() {
    static Board b;
    return b;
}

// Jobs shorter than this draw nothing. TONEWRIGHT_PROGRESS_DELAY (seconds)
// changes it, so that the bar can be checked without a long job.
double displayDelay() {
    const QByteArray text = qgetenv("TONEWRIGHT_PROGRESS_DELAY");
    bool ok = false;
    const double v = text.toDouble(&ok);
    return ok && v >= 0 ? v : 1.0;
}

void draw(Board& b) {
    double sum = 0;
    int done = 0;
    for (double f : b.fractions) {
        sum += f;
        done += f >= 1.0;
    }
    const double f = b.fractions.empty() ? 0.0 : sum / double(b.fractions.size());
    const int width = 30;
    const int filled = int(f * width + 1e-9);
    QString line = QString("\r%1 [%2%3] %4%")
                       .arg(b.label.left(20))
                       .arg(QString(filled, '#'))
                       .arg(QString(width - filled, '.'))
                       .arg(int(f * 100), 3);
    if (b.fractions.size() > 1) line += QString("  %1/%2 files").arg(done).arg(b.fractions.size());
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    b.drawn = true;
    b.lastDraw = Clock::now();
}

}  // namespace

void begin(const QString& label, int files) {
    std::lock_guard<std::mutex> lock(outputMutex());
    Board& b = board();
    b.enabled = !options().quiet && isatty(STDERR_FILENO);
    b.drawn = false;
    b.label = label;
    b.fractions.assign(size_t(files > 0 ? files : 1), 0.0);
    b.start = Clock::now();
    b.lastDraw = b.start - std::chrono::seconds(1);
    b.delay = displayDelay();
}

void set(int file, double fraction) {
    std::lock_guard<std::mutex> lock(outputMutex());
    Board& b = board();
    if (file < 0 || size_t(file) >= b.fractions.size()) return;
    b.fractions[size_t(file)] = std::min(1.0, std::max(0.0, fraction));
    if (!b.enabled) return;
    const Clock::time_point now = Clock::now();
    if (std::chrono::duration<double>(now - b.start).count() < b.delay) return;
    if (std::chrono::duration<double>(now - b.lastDraw).count() < 0.1) return;
    draw(b);
}

void end() {
    std::lock_guard<std::mutex> lock(outputMutex());
    clearLine();
    board().enabled = false;
}

void clearLine() {
    Board& b = board();
    if (!b.drawn) return;
    std::fprintf(stderr, "\r%*s\r", 80, "");
    std::fflush(stderr);
    b.drawn = false;
}

}  // namespace progress

PassWatch::PassWatch(SoundAlgo& algo, int file, int pass, int passes)
    : mFile(file), mPass(pass), mPasses(passes > 0 ? passes : 1) {
    SoundAlgo* target = &algo;
    const int f = mFile, p = mPass, n = mPasses;
    // Runs on the thread of the loop (a direct connection): a signal arriving
    // while the pass runs stops it at the end of the current block.
    mConnection = QObject::connect(target, &SoundAlgo::notifyInProgress, [target, f, p, n](unsigned done, unsigned total) {
        if (interrupted()) target->pleaseStop();
        if (total > 0) progress::set(f, (double(p) + std::min(1.0, double(done) / double(total))) / double(n));
    });
    progress::set(mFile, double(mPass) / double(mPasses));
}

PassWatch::~PassWatch() {
    QObject::disconnect(mConnection);
    progress::set(mFile, double(mPass + 1) / double(mPasses));
}

}  // namespace cli
