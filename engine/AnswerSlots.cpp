#include "engine/AnswerSlots.h"

#include <algorithm>

#include "battery/PollRoute.h"

namespace {

using block_pattern::kBlockSlots;
using block_pattern::kHold;

// 0xA0's hold is the slot of step 9; it is judged one slot later, when step 11 goes out.
constexpr int kFirstDeviceHoldOverStep = 10;
constexpr int kJudgeFirstDeviceStep = 11;
// An answer of a device this many slots or fewer before its block's first request is an answer
// of an earlier cycle.
constexpr qint64 kEarlierCycleSlots = 8;

// The step of `slot` (0..7, or the hold: the block's last step) in block 0 (0xA0) or 1 (0xA1).
int StepOf(std::size_t block, int slot) {
    return static_cast<int>(block) * kBlockSlots + std::min(slot, kBlockSlots - 1) + 1;
}

}  // namespace

std::size_t AnswerSlots::IndexOf(std::uint8_t device) {
    return static_cast<std::size_t>(battery::DeviceIndex(device));
}

qint64 AnswerSlots::FirstRequestOf(std::size_t block) const { return sentAt_[block * kBlockSlots]; }

AnswerSlots::Outcome AnswerSlots::RequestSent(int step, qint64 atMonoMs) {
    Outcome outcome;
    if (step < 1 || step > kSteps) return outcome;
    if (step == 1) {
        // What the previous cycle still holds is judged with what its holds saw.
        Judge(0, lastSent_ >= kFirstDeviceHoldOverStep, outcome);
        Judge(1, lastSent_ == kSteps && atMonoMs >= EndOfLastSlot() + slotMs_, outcome);
        for (Block& block : blocks_) block = Block{{}, {}, false};
    } else if (lastSent_ == 0) {
        return outcome;  // a cycle is only followed from its first request on
    } else if (step != lastSent_ + 1) {
        // Requests out of their order leave no slot that an answer could be placed in with
        // certainty: what the blocks hold so far is judged as cut short, and nothing more is
        // placed until the next cycle.
        Judge(0, false, outcome);
        Judge(1, false, outcome);
        lastSent_ = 0;
        return outcome;
    }
    sentAt_[static_cast<std::size_t>(step - 1)] = atMonoMs;
    lastSent_ = step;
    if (step == 1) StartBlock(0, atMonoMs);
    if (step == battery::kFirstA1Step) StartBlock(1, atMonoMs);
    if (step == kJudgeFirstDeviceStep) Judge(0, true, outcome);
    return outcome;
}

AnswerSlots::Outcome AnswerSlots::AnswerArrived(const AnswerFrame& answer, battery::Instant at) {
    Outcome outcome;
    outcome.answeredStep = Place(answer.address, at.monoMs, answer.reading, at.wallMs, outcome);
    return outcome;
}

AnswerSlots::Outcome AnswerSlots::DamagedAnswerArrived(std::uint8_t device, qint64 atMonoMs) {
    Outcome outcome;
    Place(device, atMonoMs, std::nullopt, 0, outcome);
    return outcome;
}

// Counts an answer of `device` that arrived at `atMs` where it belongs; returns its step when it
// is sound and the first answer in its own slot.
std::optional<int> AnswerSlots::Place(std::uint8_t device, qint64 atMs,
                                      const std::optional<BatteryReading>& reading, qint64 wallMs,
                                      Outcome& outcome) {
    const std::optional<int> step = lastSent_ == 0 ? std::nullopt : SlotAt(atMs);
    if (!step) {
        Stray(device, atMs, outcome);  // before the cycle's first request, or no cycle followed
        return std::nullopt;
    }
    const std::size_t own = IndexOf(device);
    if (*step == kSteps && atMs >= EndOfLastSlot()) {
        if (own == 1 && atMs < EndOfLastSlot() + slotMs_)
            Count(own, kHold, reading, wallMs);
        else
            Stray(device, atMs, outcome);
        return std::nullopt;
    }
    const std::size_t slotBlock = static_cast<std::size_t>(*step - 1) / kBlockSlots;
    const int slot = (*step - 1) % kBlockSlots;
    if (slotBlock == own) {
        if (Count(own, slot, reading, wallMs) && reading) return step;
        return std::nullopt;
    }
    Block& other = blocks_[slotBlock];
    if (!other.settled) other.pattern.slotAnswers[static_cast<std::size_t>(slot)].foreign = true;
    if (own == 0 && *step == battery::kFirstA1Step)
        Count(own, kHold, reading, wallMs);
    else
        Stray(device, atMs, outcome);
    return std::nullopt;
}

// Counts an answer in `slot` of `block`; true when it is the slot's first.
bool AnswerSlots::Count(std::size_t block, int slot, const std::optional<BatteryReading>& reading,
                        qint64 wallMs) {
    Block& target = blocks_[block];
    if (target.settled) {
        // It arrived in time to count, but its read was handed over after the block was judged.
        carriedLate_[block] = true;
        return false;
    }
    block_pattern::SlotAnswers& answers =
        target.pattern.slotAnswers[static_cast<std::size_t>(slot)];
    if (++answers.own > 1) return false;
    answers.firstSound = reading.has_value();
    if (reading) {
        target.readings[static_cast<std::size_t>(slot)] =
            battery::MakeReading(battery::BatteryOfStep(StepOf(block, slot)), wallMs,
                                 reading->StatusCode, reading->RawVoltage, reading->RawTemperature);
    }
    return true;
}

// An answer outside its device's block and hold. When the device's last block gave nothing,
// this is where its answers went: the device is reported as answering late.
void AnswerSlots::Stray(std::uint8_t device, qint64 atMs, Outcome& outcome) {
    const std::size_t index = IndexOf(device);
    if (std::exchange(silentBlock_[index], false)) outcome.lateDevices.push_back(device);
    lastStrayAt_[index] = std::max(lastStrayAt_[index].value_or(atMs), atMs);
    // Handed over after the block's first request went out, though it came shortly before it.
    Block& block = blocks_[index];
    const int firstStep = static_cast<int>(index) * kBlockSlots + 1;
    if (!block.settled && lastSent_ >= firstStep && atMs < FirstRequestOf(index) &&
        atMs >= FirstRequestOf(index) - kEarlierCycleSlots * slotMs_)
        block.pattern.fromEarlierCycle = true;
}

void AnswerSlots::StartBlock(std::size_t index, qint64 atMs) {
    block_pattern::BlockPattern& pattern = blocks_[index].pattern;
    if (std::exchange(carriedLate_[index], false)) pattern.fromEarlierCycle = true;
    const std::optional<qint64>& stray = lastStrayAt_[index];
    if (stray && *stray >= atMs - kEarlierCycleSlots * slotMs_) pattern.fromEarlierCycle = true;
}

AnswerSlots::Outcome AnswerSlots::TimePassed(qint64 nowMonoMs) {
    Outcome outcome;
    if (const std::optional<qint64> deadline = NextDeadline(); deadline && nowMonoMs >= *deadline)
        Judge(1, true, outcome);
    return outcome;
}

std::optional<qint64> AnswerSlots::NextDeadline() const {
    if (lastSent_ != kSteps || blocks_[1].settled) return std::nullopt;
    return EndOfLastSlot() + qint64{2} * slotMs_;
}

// Releases the certain readings of `index`'s block (only the watched batteries' ones) and
// reports its device when the block showed lateness and gave nothing.
void AnswerSlots::Judge(std::size_t index, bool holdWatched, Outcome& outcome) {
    Block& block = blocks_[index];
    if (block.settled) return;
    block.settled = true;
    block.pattern.holdWatched = holdWatched;
    const block_pattern::Verdict verdict = block_pattern::JudgeBlock(block.pattern);
    const std::size_t releasedBefore = outcome.released.size();
    for (int slot = 0; slot <= kHold; ++slot) {
        const auto at = static_cast<std::size_t>(slot);
        if (verdict.keep[at] && block.readings[at] &&
            StepOf(index, slot) <= battery::kLastReadingStep)
            outcome.released.push_back(*block.readings[at]);
    }
    const bool gaveNothing = outcome.released.size() == releasedBefore;
    if (verdict.lateness && gaveNothing) outcome.lateDevices.push_back(battery::kDevices[index]);
    silentBlock_[index] = gaveNothing && !verdict.lateness;
    if (index == 1) outcome.cycleSettled = true;
}

// The slot an arrival time falls in: the last request of the current cycle sent at or before it.
std::optional<int> AnswerSlots::SlotAt(qint64 atMs) const {
    for (int step = lastSent_; step >= 1; --step)
        if (sentAt_[static_cast<std::size_t>(step - 1)] <= atMs) return step;
    return std::nullopt;
}
