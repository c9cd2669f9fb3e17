#include "tools/sim/FaultInjector.h"

#include "tools/sim/BusDevices.h"

namespace batmonsim {

std::string FaultDecision::Describe() const {
    if (!dropReason.empty()) return dropReason;
    std::string text;
    const auto add = [&text](bool on, const char* name) {
        if (!on) return;
        if (!text.empty()) text += ',';
        text += name;
    };
    add(!noise.empty(), "noise");
    add(corrupt, "corrupt");
    add(split, "split");
    add(doubled, "double");
    add(lateMs > 0, "late");
    return text;
}

FaultInjector::FaultInjector(const SimOptions& options)
    : options_(options), random_(options.seed ^ 0x5EEDFA017ULL) {}

// The dropped devices are silent from --drop-after-s on, for --drop-for-s (0: for good).
bool FaultInjector::DropsDevices() const {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const std::chrono::seconds silentFrom(options_.dropAfterS);
    return elapsed >= silentFrom &&
           (options_.dropForS == 0 ||
            elapsed < silentFrom + std::chrono::seconds(options_.dropForS));
}

FaultDecision FaultInjector::Decide(std::uint8_t deviceAddress) {
    FaultDecision decision;
    if (DropsDevices() && ((deviceAddress == BusDevices::kFirstAddress && options_.dropA0) ||
                           (deviceAddress == BusDevices::kSecondAddress && options_.dropA1))) {
        decision.dropReason = "drop_device";
        return decision;
    }
    if (options_.dropRate > 0.0) {
        const double draw = static_cast<double>(random_() >> 11) * 0x1.0p-53;
        if (draw < options_.dropRate) {
            decision.dropReason = "drop";
            return decision;
        }
    }
    const std::uint64_t count = ++sentAnswers_;
    decision.corrupt = IsNth(options_.corruptEvery, count);
    decision.split = IsNth(options_.splitEvery, count);
    decision.doubled = IsNth(options_.doubleEvery, count);
    if (IsNth(options_.lateEvery, count)) decision.lateMs = options_.lateMs;
    if (IsNth(options_.noiseEvery, count)) {
        decision.noise.resize(1 + random_() % 4);
        for (std::uint8_t& byte : decision.noise) byte = static_cast<std::uint8_t>(random_());
    }
    return decision;
}

}  // namespace batmonsim
