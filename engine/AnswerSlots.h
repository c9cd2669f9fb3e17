#pragma once

#include <QtGlobal>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "battery/Instant.h"
#include "battery/Reading.h"
#include "protocol/ResponseDecoder.h"

// Which request an answer belongs to. An answer carries no register number, so it is taken to
// answer the request whose slot it arrived in: the time from that request to the next one (the
// last request of a cycle keeps its slot for one pacing interval). A slot takes at most one
// answer.
//
// The readings of each device's block of a cycle (steps 1..8 for 0xA0, 9..16 for 0xA1) are held
// until the block has ended plus one slot, and released together, each with the time its answer
// arrived. A block that shows any sign of lateness is discarded whole: two answers in one of its
// slots, an answer of its device in the other device's slot, or an answer after the cycle's last
// slot. An answer that comes when its device's block is already settled (between cycles, or in
// the other device's slots after the hold) discards that device's next block instead: a device
// late by about a whole cycle would otherwise fill the next cycle's slots with answers that are
// one cycle old and shifted by some steps. So a slow device never has its readings shown on a
// battery other than the one polled: a device that is always late shows nothing, a single late
// answer costs its device that cycle (the next one too when it comes after the hold), and a lost
// answer costs only its own reading.
//
// Slots are measured on the monotonic clock, so a wall clock that steps in mid-cycle moves no
// answer into another slot; a released reading carries the wall time of its arrival.
class AnswerSlots {
public:
    // What an event settled: readings released in step order, devices whose block of the cycle
    // was discarded as late, and the step an answer was taken for.
    struct Outcome {
        std::vector<battery::Reading> released;
        std::vector<std::uint8_t> lateDevices;
        std::optional<int> answeredStep;
        bool cycleSettled = false;  // the cycle's last block is released or discarded
    };

    explicit AnswerSlots(int slotMs) : slotMs_(slotMs) {}

    // Poll request `step` (1..16) went out at monotonic `atMonoMs`. Step 1 starts a new cycle
    // and settles what is left of the previous one; step 10 ends the hold of 0xA0's block.
    Outcome RequestSent(int step, qint64 atMonoMs);
    // A well-formed answer arrived at `at`.
    Outcome AnswerArrived(const AnswerFrame& answer, battery::Instant at);
    // An answer of `device` arrived damaged (its checksum fails or it was cut short): it shows
    // nothing, but it took its slot as much as a good one, so a late answer beside it is told.
    Outcome DamagedAnswerArrived(std::uint8_t device, qint64 atMonoMs);
    // The monotonic clock moved on: releases 0xA1's block once its hold after the last slot has
    // ended.
    Outcome TimePassed(qint64 nowMonoMs);
    // When (monotonic) TimePassed has something to settle, if ever.
    std::optional<qint64> NextDeadline() const;

private:
    struct Block {
        std::vector<battery::Reading> held;
        bool late = false;
        bool settled = true;
    };
    static constexpr int kSteps = 16;

    Block& BlockOf(std::uint8_t device) {
        return blocks_[static_cast<std::size_t>(battery::DeviceIndex(device))];
    }
    std::optional<int> TakeSlot(std::uint8_t device, qint64 atMs, Outcome& outcome);
    void MarkLate(std::uint8_t device, Outcome& outcome);
    void Release(Block& block, Outcome& outcome);
    std::optional<int> SlotAt(qint64 atMs) const;
    qint64 EndOfLastSlot() const { return sentAt_[kSteps - 1] + slotMs_; }

    int slotMs_;
    std::array<bool, 2> lateCarried_{};    // discard the device's next block
    int lastSent_ = 0;                     // 0: no cycle yet
    std::array<qint64, kSteps> sentAt_{};  // monotonic send time of each step of the cycle
    std::array<int, kSteps> answers_{};    // answers taken in each slot
    std::array<Block, 2> blocks_;          // 0xA0, 0xA1
};
