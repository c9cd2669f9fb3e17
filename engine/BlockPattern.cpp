#include "engine/BlockPattern.h"

namespace block_pattern {

namespace {

Verdict AllLate() {
    Verdict verdict;
    verdict.lateness = true;
    return verdict;
}

}  // namespace

Verdict JudgeBlock(const BlockPattern& pattern) {
    if (pattern.fromEarlierCycle) return AllLate();
    Verdict verdict;
    const auto keepIfSound = [&](int slot) {
        const SlotAnswers& answers = pattern.slotAnswers[static_cast<std::size_t>(slot)];
        verdict.keep[static_cast<std::size_t>(slot)] = answers.own == 1 && answers.firstSound;
    };
    int missing = 0;
    int gapStart = 0;
    bool gapShowsLateness = false;
    for (int slot = 0; slot < kBlockSlots; ++slot) {
        const SlotAnswers& answers = pattern.slotAnswers[static_cast<std::size_t>(slot)];
        if (missing == 0) {
            if (answers.own > 1) return AllLate();
            if (answers.own == 1) {
                keepIfSound(slot);
                continue;
            }
            missing = 1;
            gapStart = slot;
            // The other device's last answer running late into the block's first slot.
            gapShowsLateness = slot == 0 && answers.foreign;
            continue;
        }
        missing += 1 - answers.own;
        if (missing < 0) return AllLate();
        gapShowsLateness = gapShowsLateness || answers.own > 1;
        // A gap that closes holds as many answers as requests, in an order nothing tells.
        if (missing == 0) verdict.lateness = true;
    }

    const SlotAnswers& hold = pattern.slotAnswers[kHold];
    if (missing == 0) return hold.own > 0 ? AllLate() : verdict;
    if (hold.own > missing) return AllLate();
    if (hold.own > 0) {
        verdict.lateness = true;
        if (gapStart == kBlockSlots - 1 && hold.own == 1) keepIfSound(kHold);
        return verdict;
    }
    if (gapShowsLateness) {
        verdict.lateness = true;
        return verdict;
    }
    if (!pattern.holdWatched) return verdict;
    // No sign of lateness from the gap on: what is missing was lost, the rest came in time.
    for (int slot = gapStart; slot < kBlockSlots; ++slot) keepIfSound(slot);
    return verdict;
}

}  // namespace block_pattern
