#include "engine/AnswerSlots.h"

#include <utility>

#include "battery/PollRoute.h"

namespace {

constexpr int kReleaseFirstDeviceStep = 10;

}  // namespace

AnswerSlots::Outcome AnswerSlots::RequestSent(int step, qint64 atMonoMs) {
    Outcome outcome;
    if (step < 1 || step > kSteps) return outcome;
    if (step == 1) {
        // What the previous cycle still holds saw no sign of lateness up to now.
        for (Block& block : blocks_) Release(block, outcome);
        answers_.fill(0);
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            blocks_[i] = Block{{}, false, false};
            if (std::exchange(lateCarried_[i], false)) MarkLate(battery::kDevices[i], outcome);
        }
    } else if (lastSent_ == 0) {
        return outcome;  // a cycle is only followed from its first request on
    }
    if (step == kReleaseFirstDeviceStep) Release(BlockOf(battery::kDeviceA0), outcome);
    sentAt_[step - 1] = atMonoMs;
    lastSent_ = step;
    return outcome;
}

AnswerSlots::Outcome AnswerSlots::AnswerArrived(const AnswerFrame& answer, battery::Instant at) {
    Outcome outcome;
    const std::optional<int> slot = TakeSlot(answer.address, at.monoMs, outcome);
    if (!slot) return outcome;
    Block& block = BlockOf(answer.address);
    if (*slot <= battery::kLastReadingStep && !block.late) {
        const BatteryReading& r = answer.reading;
        block.held.push_back(battery::MakeReading(battery::BatteryOfStep(*slot), at.wallMs,
                                                  r.StatusCode, r.RawVoltage, r.RawTemperature));
    }
    outcome.answeredStep = *slot;
    return outcome;
}

AnswerSlots::Outcome AnswerSlots::DamagedAnswerArrived(std::uint8_t device, qint64 atMonoMs) {
    Outcome outcome;
    TakeSlot(device, atMonoMs, outcome);
    return outcome;
}

// Counts an answer of `device` in the slot it arrived in and returns that slot, or nothing when
// the arrival showed lateness (and marked it in `outcome`).
std::optional<int> AnswerSlots::TakeSlot(std::uint8_t device, qint64 atMs, Outcome& outcome) {
    if (lastSent_ == 0) return std::nullopt;
    const std::optional<int> slot = SlotAt(atMs);
    // Before this cycle began (after the last slot of the one before), or after its last slot.
    if (!slot || (*slot == kSteps && atMs >= EndOfLastSlot())) {
        MarkLate(device, outcome);
        return std::nullopt;
    }
    // Every answer counts in the slot it arrived in, whichever device sent it: a second one
    // means the slot's own answer cannot be told from a late one. An answer of the other device
    // in the first slot of a block is the other device's last answer running late into it; the
    // answers on the line then run late, so the block's own answers may each be the one of the
    // request before (its last one lost, nothing else would show it).
    const std::uint8_t slotDevice = battery::DeviceOfStep(*slot);
    const bool crowded = ++answers_[*slot - 1] > 1;
    const bool foreign = slotDevice != device;
    if (crowded || foreign) {
        MarkLate(device, outcome);
        if (crowded || (foreign && (*slot == 1 || *slot == 9))) MarkLate(slotDevice, outcome);
        return std::nullopt;
    }
    return slot;
}

AnswerSlots::Outcome AnswerSlots::TimePassed(qint64 nowMonoMs) {
    Outcome outcome;
    if (const std::optional<qint64> deadline = NextDeadline(); deadline && nowMonoMs >= *deadline)
        Release(BlockOf(battery::kDeviceA1), outcome);
    return outcome;
}

std::optional<qint64> AnswerSlots::NextDeadline() const {
    if (lastSent_ != kSteps || blocks_[1].settled) return std::nullopt;
    return EndOfLastSlot() + slotMs_;
}

void AnswerSlots::MarkLate(std::uint8_t device, Outcome& outcome) {
    Block& block = BlockOf(device);
    if (block.settled) {
        lateCarried_[static_cast<std::size_t>(battery::DeviceIndex(device))] = true;
        return;
    }
    if (block.late) return;
    block.late = true;
    block.held.clear();
    outcome.lateDevices.push_back(device);
}

void AnswerSlots::Release(Block& block, Outcome& outcome) {
    if (block.settled) return;
    block.settled = true;
    if (&block == &blocks_[1]) outcome.cycleSettled = true;
    for (const battery::Reading& reading : block.held) outcome.released.push_back(reading);
    block.held.clear();
}

// The slot an arrival time falls in: the last request of the current cycle sent at or before it.
std::optional<int> AnswerSlots::SlotAt(qint64 atMs) const {
    for (int step = lastSent_; step >= 1; --step)
        if (sentAt_[step - 1] <= atMs) return step;
    return std::nullopt;
}
