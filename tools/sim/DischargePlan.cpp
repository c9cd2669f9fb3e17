#include "tools/sim/DischargePlan.h"

namespace batmonsim {

double DischargePlan::DropV(int device, int battery, double secondsSinceStart) const {
    if (atS < 0 || secondsSinceStart < atS) return 0;
    const double underLoadS = secondsSinceStart - atS;
    if (recoverAfterS > 0 && underLoadS >= recoverAfterS) return 0;
    double factor = 1;
    for (const WeakBattery& w : weak) {
        if (w.device == device && w.battery == battery) factor = w.factor;
    }
    return kLoadStepV + factor * voltsPerMinute * underLoadS / 60.0;
}

}  // namespace batmonsim
