#include "Recordings.h"

#include <QJsonArray>
#include <cmath>
#include <random>

namespace tk {

Frames track(size_t n, double rate, double levelDb, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    const double f0 = 220.0 + 37.0 * (seed % 7), f1 = 3.01 * f0;
    const double w0 = 2 * M_PI * f0 / rate, w1 = 2 * M_PI * f1 / rate;
    Frames f(n);
    double s0 = 0, s1 = 0;
    for (size_t i = 0; i < n; ++i) {
        const double t = double(i);
        f[i].l = 0.6 * std::sin(w0 * t) + 0.25 * std::sin(w1 * t) + 0.15 * dist(gen);
        f[i].r = 0.5 * std::sin(w0 * t * 1.0011 + 0.3) + 0.3 * std::sin(w1 * t + 1.1) + 0.15 * dist(gen);
        s0 += f[i].l * f[i].l;
        s1 += f[i].r * f[i].r;
    }
    const double louder = std::sqrt(std::max(s0, s1) / double(std::max<size_t>(n, 1)));
    return scaled(f, louder > 0 ? std::pow(10.0, levelDb / 20.0) / louder : 0.0);
}

Piece Recording::fade() const {
    for (const Piece& p : pieces)
        if (p.kind == Piece::Fade) return p;
    return {Piece::Fade, frames.size(), frames.size(), -200};
}

Recording album(unsigned rate, double scale) {
    Recording rec;
    rec.rate = rate;
    auto frames = [&](double seconds) { return size_t(std::llround(seconds * scale * rate)); };
    auto add = [&](Piece::Kind kind, const Frames& part, double db) {
        const size_t begin = rec.frames.size();
        rec.frames.insert(rec.frames.end(), part.begin(), part.end());
        rec.pieces.push_back({kind, begin, rec.frames.size(), db});
    };
    add(Piece::Silence, silence(frames(1)), -200);
    add(Piece::Track, track(frames(12), rate, -14, 3), -14);
    add(Piece::Silence, silence(frames(3)), -200);
    add(Piece::Track, track(frames(15), rate, -8, 4), -8);
    add(Piece::RoomNoise, scaled(noise(frames(8), 1.0, 99), std::pow(10.0, -70 / 20.0) * std::sqrt(3.0)), -70);
    const Frames third = track(frames(18), rate, -20, 5);
    const size_t steady = frames(12);
    add(Piece::Track, Frames(third.begin(), third.begin() + long(steady)), -20);
    Frames fade(third.begin() + long(steady), third.end());
    for (size_t i = 0; i < fade.size(); ++i) {
        const double g = 1.0 - double(i) / double(fade.size());
        fade[i] *= Frame(g, g);
    }
    add(Piece::Fade, fade, -20);
    add(Piece::Silence, silence(frames(2)), -200);
    return rec;
}

Recording passages(const std::vector<std::pair<double, double>>& parts, unsigned rate) {
    Recording rec;
    rec.rate = rate;
    uint32_t seed = 11;
    for (const auto& part : parts) {
        const size_t begin = rec.frames.size();
        const Frames t = track(size_t(std::llround(part.first * rate)), rate, part.second, seed++);
        rec.frames.insert(rec.frames.end(), t.begin(), t.end());
        rec.pieces.push_back({Piece::Track, begin, rec.frames.size(), part.second});
    }
    return rec;
}

RMSStepDetector::Region region(int begin, int n, double db0, double db1, bool noise, int weight) {
    return RMSStepDetector::Region{begin, n, std::pow(10.0, db0 / 10.0), std::pow(10.0, db1 / 10.0),
                                   weight < 0 ? n : weight, noise};
}

SoundRef<RMSStepDetector> detectorFromList(const std::vector<RMSStepDetector::Region>& list, bool realTime,
                                           unsigned rate) {
    QJsonArray regions;
    for (const auto& r : list)
        regions.append(QJsonObject{{"BeginSample", r.BeginSample}, {"SampleNb", r.SampleNb},
                                   {"RMSSqrValue0", r.RMSSqrValue0}, {"RMSSqrValue1", r.RMSSqrValue1},
                                   {"MeanSmpl", r.MeanSmpl}, {"IsNoise", r.IsNoise}});
    QJsonObject o{{"Class", "RMSStepDetector"}, {"NoiseThreshold", -40.0}, {"RMSTime", 0.2}, {"MinSlopeTime", 1.0},
                  {"OutputMode", 3}, {"RealTimeMode", realTime}, {"SampleRate", int(rate)}};
    if (!list.empty()) o.insert("Regions", regions);
    return SoundRef<RMSStepDetector>::adopt(RMSStepDetector::createFromJSon(o));
}

}  // namespace tk
