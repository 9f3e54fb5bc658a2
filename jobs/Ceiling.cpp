#include "jobs/Ceiling.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>

#include "jobs/JobContext.h"
#include "tonewright/SoundAlgoLoudness.h"
#include "tonewright/SoundDebuggableClass.h"

namespace tonewright {
namespace detail {

double lossyMarginDb(const QString& extension) {
    const QString e = extension.toLower();
    if (e == "mp3") return 1.0;
    if (e == "ogg" || e == "oga") return 1.0;
    return 0.05;  // 16-bit rounding and dither stay far below this
}

SoundRef<SoundAlgoTruePeakLimiter> truePeakStage(double ceilingDb, const QString& output, double lowerDb) {
    return SoundRef<SoundAlgoTruePeakLimiter>::make(ceilingDb - lossyMarginDb(QFileInfo(output).suffix()) -
                                                    std::max(0.0, lowerDb));
}

bool isLossy(const QString& extension) {
    const QString e = extension.toLower();
    return e == "mp3" || e == "ogg" || e == "oga";
}

bool measureWritten(const QString& path, WrittenFigures* figures) {
    *figures = WrittenFigures();
    if (!QFileInfo(path).isFile()) {
        SoundDebuggableClass::setError("it is not a file that can be read back");
        return false;
    }
    std::unique_ptr<SoundReader> reader = openReader(path);
    if (!reader) return false;
    auto loudness = SoundRef<SoundAlgoLoudness>::make(0.0);
    loudness->setTruePeakRate(kCheckRate);
    loudness->setSourceChannels(reader->getFileChannelNum());
    if (loudness->processAll(*reader, nullptr) != SoundTools::Ok) return false;
    figures->integrated = loudness->getIntegrated();
    figures->truePeak = loudness->getTruePeak();
    return true;
}

double ceilingCorrectionDb(double writtenDb, double ceilingDb) {
    const double over = writtenDb - (ceilingDb - kWrittenPeakGuardDb);
    // A little more than the excess: the encoder's overshoot varies from one
    // encoding to the next.
    return over > 0.0 ? over + 0.05 : 0.0;
}

bool passesWithinCeiling(const QString& output, double ceilingDb,
                         const std::function<bool(double lowerDb, double trimDb)>& pass,
                         const std::function<QString()>& written) {
    const bool lossy = isLossy(QFileInfo(output).suffix());
    double lowerDb = 0.0, trimDb = 0.0;
    for (int attempt = 0;; ++attempt) {
        if (!pass(lowerDb, trimDb)) return false;
        WrittenFigures figures;
        if (!lossy || attempt == 2 || !measureWritten(written(), &figures)) return true;
        const double excess = ceilingCorrectionDb(figures.truePeak, ceilingDb);
        if (excess == 0.0) return true;
        if (attempt == 0)
            lowerDb += excess;
        else
            trimDb -= excess;
    }
}

std::optional<JobError> checkOutputSettings(double truePeakDb, unsigned bitRate) {
    if (!isCeiling(truePeakDb))
        return badSetting("truePeakDb", QString("the true-peak ceiling goes from %1 to %2 dBTP, not %3")
                                            .arg(kLowestCeilingDb)
                                            .arg(kHighestCeilingDb)
                                            .arg(truePeakDb));
    if (bitRate < 32 || bitRate > 320)
        return badSetting("bitRate", QString("the bit rate goes from 32 to 320 kbit/s, not %1").arg(bitRate));
    return std::nullopt;
}

}  // namespace detail
}  // namespace tonewright
