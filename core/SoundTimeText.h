#pragma once
// Private helper: the hh:mm:ss.sss text used by region lists, the multi-file
// writer's report and the amplifier's trace. Hours and minutes are two digits
// zero-filled; seconds carry three decimals, zero-filled to six characters.
#include <cmath>
#include <cstdio>
#include <string>

namespace SoundTools {

inline std::string timeText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    const double h = std::floor(seconds / 3600.0);
    const double rest = seconds - 3600.0 * h;
    const double m = std::floor(rest / 60.0);
    const double s = rest - 60.0 * m;
    char text[64];
    std::snprintf(text, sizeof text, "%02.0f:%02.0f:%06.3f", h, m, s);
    return text;
}

// A frame count at a sample rate as hh:mm:ss.sss (a rate of 0 reads as 0 s).
inline std::string timeText(long long frames, unsigned rate) {
    return timeText(rate ? double(frames) / double(rate) : 0.0);
}

}  // namespace SoundTools
