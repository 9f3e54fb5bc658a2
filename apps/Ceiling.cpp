#include "Ceiling.h"

#include <QFileInfo>
#include <cmath>

namespace cli {

QCommandLineOption truePeakOption() {
    return QCommandLineOption("true-peak",
                              "Ceiling of the output's true peak in dBTP, from -20 to 0 (default -1); lossy formats "
                              "are limited lower by the overshoot of their encoders.",
                              "dBTP", "-1");
}

bool readTruePeak(const JobParser& p, double* ceilingDb) {
    const QCommandLineOption o = truePeakOption();
    const QString text = p.value(o).trimmed();
    bool ok = false;
    const double v = QString(text).remove(QStringLiteral("dBTP"), Qt::CaseInsensitive).toDouble(&ok);
    if (!ok || !std::isfinite(v)) {
        p.usageError("--true-peak needs a ceiling in dBTP, such as -1, not '" + text + "'");
        return false;
    }
    if (v > 0.0) {
        p.usageError("--true-peak " + text + ": a ceiling above 0 dBTP lets the output clip when it is played");
        return false;
    }
    if (v < -20.0) {
        p.usageError("--true-peak " + text + ": a ceiling below -20 dBTP is not a peak limit");
        return false;
    }
    *ceilingDb = v;
    return true;
}

double lossyMarginDb(const QString& extension) {
    const QString e = extension.toLower();
    if (e == "mp3") return 1.0;
    if (e == "ogg" || e == "oga") return 1.0;
    return 0.05;  // 16-bit rounding and dither stay far below this
}

SoundRef<SoundAlgoTruePeakLimiter> truePeakStage(double ceilingDb, const QString& output) {
    return SoundRef<SoundAlgoTruePeakLimiter>::make(ceilingDb - lossyMarginDb(QFileInfo(output).suffix()));
}

QCommandLineOption noDitherOption() {
    return QCommandLineOption("no-dither",
                              "Round 16-bit and 8-bit outputs plainly. By default TPDF dither (triangular, +-1 LSB) is "
                              "added before rounding, so that quiet passages and fades keep their detail instead of "
                              "turning into distortion.");
}

}  // namespace cli
