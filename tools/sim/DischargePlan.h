#pragma once

#include <vector>

namespace batmonsim {

// A battery that falls `factor` times faster than the others during a discharge.
struct WeakBattery {
    int device = 0;   // 0: A0, 1: A1
    int battery = 0;  // 0..7
    double factor = 1;
};

// A discharge of both strings, as when the mains fail: from `atS` seconds after the start the
// batteries carry the load, and after `recoverAfterS` seconds of it (0: never) the mains are
// back and they charge again.
struct DischargePlan {
    double atS = -1;  // negative: no discharge
    double voltsPerMinute = 0.5;
    double recoverAfterS = 0;
    std::vector<WeakBattery> weak;

    // Taking the load drops a block on float charge (13.5 V) at once to about 12.3 V.
    static constexpr double kLoadStepV = 1.2;

    // How far below its resting voltage a battery is `secondsSinceStart` into the run.
    double DropV(int device, int battery, double secondsSinceStart) const;
};

}  // namespace batmonsim
