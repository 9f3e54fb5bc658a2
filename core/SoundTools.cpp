#include "tonewright/SoundTools.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace SoundTools {

namespace {
constexpr int kFcoSteps = 4096;
constexpr double kFcoStep = 15.0 / 4096.0;  // octaves per table entry

const std::vector<double>& fcoTable() {
    // Built once, on first use; the library makes that first call while loading
    // so that later calls from several threads only read it.
    static const std::vector<double> table = [] {
        std::vector<double> t(kFcoSteps);
        for (int i = 0; i < kFcoSteps; ++i) t[size_t(i)] = std::pow(2.0, i * kFcoStep);
        return t;
    }();
    return table;
}

struct FcoTableWarmup {
    FcoTableWarmup() { fcoTable(); }
} gFcoTableWarmup;
}  // namespace

void get_fco(double fmin, double fmax, double& fco, double& width) {
    const std::vector<double>& table = fcoTable();
    const double ratio = fmax / fmin;
    // First entry greater than the ratio (the table is ascending).
    const int i = int(std::upper_bound(table.begin(), table.end(), ratio) - table.begin());
    const int k = i == 0 ? 0 : i - 1;
    width = (k + 0.5) * kFcoStep;
    fco = fmin * std::pow(2.0, width / 2.0);
}

void get_minmax(double fco, double width, double& fmin, double& fmax) {
    const double h = std::pow(2.0, width / 2.0);
    fmin = fco / h;
    fmax = fco * h;
}

}  // namespace SoundTools
