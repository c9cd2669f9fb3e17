#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/sim/SimOptions.h"

namespace batmonsim {

// What happens to one answer on its way out.
struct FaultDecision {
    std::string dropReason;  // non-empty: the answer is not sent ("drop_device" or "drop")
    bool corrupt = false;
    bool split = false;
    bool doubled = false;
    std::vector<std::uint8_t> noise;  // sent just before the answer
    int lateMs = 0;                   // added to the answer's delay

    // The injected faults as they appear in the log, e.g. "corrupt,split".
    std::string Describe() const;
};

// Decides the faults of each answer from the command-line options. The "every n-th" counters
// count the answers that are actually sent, so dropped answers do not shift them.
class FaultInjector {
public:
    explicit FaultInjector(const SimOptions& options);

    FaultDecision Decide(std::uint8_t deviceAddress);

private:
    static bool IsNth(int every, std::uint64_t count) { return every > 0 && count % every == 0; }

    bool DropsDevices() const;

    const SimOptions& options_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::mt19937_64 random_;
    std::uint64_t sentAnswers_ = 0;
};

}  // namespace batmonsim
