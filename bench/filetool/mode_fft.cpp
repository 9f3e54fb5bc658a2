// Modes built from the linear-phase equalisers and the multiband amplifiers.
#include "FileTool.h"
#include "tonewright/SoundAlgoEqFIR.h"
#include "tonewright/SoundAlgoFFTFilter.h"
#include "tonewright/SoundAlgoMultibandAmplifier.h"

namespace {

// "low", "high", "band" or "stop"; false for anything else.
bool filterType(const QString& name, SoundTools::FilterType& type) {
    if (name == "low")
        type = SoundTools::LowPass;
    else if (name == "high")
        type = SoundTools::HighPass;
    else if (name == "band")
        type = SoundTools::BandPass;
    else if (name == "stop")
        type = SoundTools::BandStop;
    else
        return false;
    return true;
}

filetool::FileToolMode eqfft(
    "eqfft", "[low|high|band|stop [f1=1000 [f2=4000 [N=8192]]]]  SoundAlgoEqFFT (447-tap equiripple FIR by FFT)",
    [](const QStringList& args, unsigned) -> SoundAlgo* {
        SoundTools::FilterType type = SoundTools::LowPass;
        if (!args.isEmpty() && !filterType(args[0], type)) return nullptr;
        const double f1 = args.size() > 1 ? args[1].toDouble() : 1000.0;
        const double f2 = args.size() > 2 ? args[2].toDouble() : 4000.0;
        const unsigned n = args.size() > 3 ? args[3].toUInt() : 8192u;
        if (n < 2) return nullptr;
        return SoundRef<SoundAlgoEqFFT>::make(type, f1, f2, n).release();
    });

filetool::FileToolMode eqfir("eqfir", "[low|high|band|stop [f1=1000 [f2=4000]]]  SoundAlgoEqFIR (time-domain FIR)",
                             [](const QStringList& args, unsigned) -> SoundAlgo* {
                                 SoundTools::FilterType type = SoundTools::LowPass;
                                 if (!args.isEmpty() && !filterType(args[0], type)) return nullptr;
                                 const double f1 = args.size() > 1 ? args[1].toDouble() : 1000.0;
                                 const double f2 = args.size() > 2 ? args[2].toDouble() : 4000.0;
                                 return SoundRef<SoundAlgoEqFIR>::make(type, f1, f2).release();
                             });

// Without a detector the band amplifiers are fixed gains of the level: the
// mode times the band split, filters, limiters and sum.
filetool::FileToolMode mbfft("mbfft", "[dB=-6 [N=8192]]  SoundAlgoFFTMultibandAmplifier, bands at 150/600/2500/8000 Hz",
                             [](const QStringList& args, unsigned) -> SoundAlgo* {
                                 const double db = args.size() > 0 ? args[0].toDouble() : -6.0;
                                 const unsigned n = args.size() > 1 ? args[1].toUInt() : 8192u;
                                 if (n < 2) return nullptr;
                                 return SoundRef<SoundAlgoFFTMultibandAmplifier>::make(
                                            std::vector<double>{150, 600, 2500, 8000}, db, 0.005, 0.1, nullptr, n, true)
                                     .release();
                             });

}  // namespace
