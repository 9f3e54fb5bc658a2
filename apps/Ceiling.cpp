#include "Ceiling.h"

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

QCommandLineOption noDitherOption() {
    return QCommandLineOption("no-dither",
                              "Round 16-bit and 8-bit outputs plainly. By default TPDF dither (triangular, +-1 LSB) is "
                              "added before rounding, so that quiet passages and fades keep their detail instead of "
                              "turning into distortion.");
}

}  // namespace cli
