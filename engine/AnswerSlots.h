#pragma once

#include <QtGlobal>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "battery/Instant.h"
#include "battery/Reading.h"
#include "engine/BlockPattern.h"
#include "protocol/ResponseDecoder.h"

// Which request an answer belongs to. An answer carries no register number, so it is placed by
// the time its last byte arrived: in the slot of the request sent last before it (the last
// request of a cycle keeps its slot for one pacing interval).
//
// Each device's block of a cycle (steps 1..8 for 0xA0, 9..16 for 0xA1) is watched until its hold
// has ended: the slot after the block's last one (0xA1's first slot for 0xA0, the slot after the
// cycle's last for 0xA1). Then block_pattern::JudgeBlock decides from how many answers each slot
// took which readings are certain, and those are released together, each with the time its
// answer arrived; the others are dropped. A block is judged one slot after its hold ended, when
// an answer that arrived in the hold has been handed over even if its read was delivered late.
//
// An answer outside its device's block and hold counts in no block. One that arrives within
// eight slots before its device's next block begins is an answer of an earlier cycle: that block
// keeps nothing, since the answers behind it may fill its slots one slot early. One that arrives
// in a block it was placed in but after that block was judged (handed over very late) makes the
// device's next block keep nothing, the same way.
//
// Slots are measured on the monotonic clock, so a wall clock that steps in mid-cycle moves no
// answer into another slot; a released reading carries the wall time of its arrival.
class AnswerSlots {
public:
    // What an event settled: readings released in step order, devices whose block of the cycle
    // showed lateness and gave no reading, and the step an answer was taken for.
    struct Outcome {
        std::vector<battery::Reading> released;
        std::vector<std::uint8_t> lateDevices;
        std::optional<int> answeredStep;
        bool cycleSettled = false;  // the cycle's last block is judged
    };

    explicit AnswerSlots(int slotMs) : slotMs_(slotMs) {}

    // Poll request `step` (1..16) went out at monotonic `atMonoMs`. Step 1 starts a new cycle and
    // judges what is left of the previous one; step 11 judges 0xA0's block. A step other than
    // the next one of the cycle stops the following of the cycle until the next step 1.
    Outcome RequestSent(int step, qint64 atMonoMs);
    // A well-formed answer arrived at `at`.
    Outcome AnswerArrived(const AnswerFrame& answer, battery::Instant at);
    // An answer of `device` arrived damaged (its checksum fails or it was cut short): it shows
    // nothing, but it took its slot as much as a good one.
    Outcome DamagedAnswerArrived(std::uint8_t device, qint64 atMonoMs);
    // The monotonic clock moved on: judges 0xA1's block once one slot has passed after its hold.
    Outcome TimePassed(qint64 nowMonoMs);
    // When (monotonic) TimePassed has something to settle, if ever.
    std::optional<qint64> NextDeadline() const;

private:
    static constexpr int kSteps = 16;

    struct Block {
        block_pattern::BlockPattern pattern;
        // The reading of each slot's first answer, when it was sound (the hold's is read for the
        // block's last battery).
        std::array<std::optional<battery::Reading>, block_pattern::kBlockSlots + 1> readings;
        bool settled = true;
    };

    static std::size_t IndexOf(std::uint8_t device);
    std::optional<int> Place(std::uint8_t device, qint64 atMs,
                             const std::optional<BatteryReading>& reading, qint64 wallMs,
                             Outcome& outcome);
    bool Count(std::size_t block, int slot, const std::optional<BatteryReading>& reading,
               qint64 wallMs);
    void Stray(std::uint8_t device, qint64 atMs, Outcome& outcome);
    void StartBlock(std::size_t index, qint64 atMs);
    void Judge(std::size_t index, bool holdWatched, Outcome& outcome);
    std::optional<int> SlotAt(qint64 atMs) const;
    qint64 EndOfLastSlot() const { return sentAt_[kSteps - 1] + slotMs_; }
    qint64 FirstRequestOf(std::size_t block) const;

    int slotMs_;
    int lastSent_ = 0;                     // 0: no cycle followed
    std::array<qint64, kSteps> sentAt_{};  // monotonic send time of each step of the cycle
    std::array<Block, 2> blocks_;          // 0xA0, 0xA1
    std::array<std::optional<qint64>, 2> lastStrayAt_;  // latest answer outside its device's block
    std::array<bool, 2> carriedLate_{};                 // the device's next block keeps nothing
    std::array<bool, 2> silentBlock_{};  // its last block gave nothing and was not reported late
};
