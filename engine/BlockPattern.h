#pragma once

#include <array>

// Which readings of a device's block of a cycle can be placed with certainty, judged from how
// many answers each of its slots took. A block is the device's eight slots, one per request (the
// time from the request to the next one), and its hold: the slot after the block's last one.
//
// Two facts place an answer. An answer never comes before its request, and a device answers a
// request at most once. So while each earlier slot of the block took exactly one answer of the
// device, every earlier request has its answer, and the one answer in the next slot belongs to that
// slot's request. And lateness leaves a sign: a late answer lands beside another answer of its
// device (a slot with two, or the hold), or, when the whole line runs late, the other device's last
// answer lands in this block's first slot. An empty slot with no such sign after it was a lost
// answer. The other device's answer in a later slot signs only that device's lateness: it was not
// one of this device's answers. What this cannot tell: a late answer whose successor was lost on
// the line arrives alone in the successor's slot and is taken for it.
//
// "Missing" counts the block's requests so far that no answer has come for. A gap runs from
// the slot where it rises above 0 to the slot where it is 0 again (the gap closes) or to the
// block's end. Slots 1..8, then the hold after "|": "1" one answer of the device, "2", "3" that
// many, "-" none, "x" only the other device's answer, "1x" one of each.
//
//   pattern               what happened                 kept, and why it is certain
//   1 1 1 1 1 1 1 1 | -   clean block                   all: missing is 0 before each slot
//   1 1 - 1 1 1 1 1 | -   3's answer lost               all but 3: no sign of lateness after
//                                                       the gap, so nothing in it came late
//   1 1 - 2 1 1 1 1 | -   3 late, beside 4's answer     1 2 5 6 7 8: slot 4 holds 3 and 4 in an
//                                                       order nothing tells; missing is 0 again
//                                                       after it, so 5.. are their own
//   1 1 - - 3 1 1 1 | -   3 late by two slots           1 2 6 7 8: the gap closes in slot 5
//   1 1 - 1 1 1 1 1 | 1   3 late, shifting the rest     1 2: slots 4..8 may hold 3..7 and the
//                                                       hold 8, or their own with 3 in the hold
//   1 1 1 1 1 1 1 - | 1   8 late into the hold          all: 8 was the only request still due,
//                                                       so the hold's answer is 8's
//   1 - 2 1 1 - 2 1 | -   two late answers              1 4 5 8
//   - 2 1 1 1 1 1 - | 1   1 and 8 late                  3..7, and 8 from the hold
//   1x 1 1 1 1 1 1 1 | -  the other device's late       all: that answer is not one of this
//                         answer beside this one's      device's, and this one's is its own
//   x 1 1 1 1 1 1 1 | -   the other device's last       nothing: the line runs late, so each
//                         answer where this one's       answer may be its predecessor's (the
//                         first is missing              last one lost)
//   1 - 1 x 1 1 1 1 | -   an answer of the other        all but 2 and 4: 2's and 4's answers
//                         device where 4's is missing   were lost, as for "-"
//   1 - 1 - 2 1 1 1 | -   a gap that never closes,      1: after a sign of lateness a late
//                         with a sign of lateness       answer can still sit alone in a slot
//   1 2 1 1 1 1 1 1 | -   more answers than requests    nothing: answers from before the block
//                         (or one in a full block's     are in its slots
//                         hold)
//
// A damaged answer takes its slot like a sound one (it is a request's answer, so the slots after
// it stay certain) but carries no reading. A block whose hold was cut short (a new cycle started
// first) keeps a gap's answers only up to the gap: nothing says what its hold would have shown.
// A block that an answer of its device reached shortly before its first request (an answer of an
// earlier cycle) keeps nothing: the answers behind that one may fill its slots one slot early.
namespace block_pattern {

inline constexpr int kBlockSlots = 8;
inline constexpr int kHold = kBlockSlots;  // index of the hold among a pattern's slots

// What one slot of a block took.
struct SlotAnswers {
    int own = 0;              // answers of the block's device, sound or damaged
    bool firstSound = false;  // the first of them was sound (it carries a reading)
    bool foreign = false;     // an answer of the other device came in it
};

struct BlockPattern {
    std::array<SlotAnswers, kBlockSlots + 1> slotAnswers{};  // the eight slots, then the hold
    bool holdWatched = true;        // the hold ran its whole length before the block was judged
    bool fromEarlierCycle = false;  // an answer of the device came shortly before the block
};

struct Verdict {
    // Which slots' readings are certain. keep[kHold]: the hold's answer is the block's last
    // request's.
    std::array<bool, kBlockSlots + 1> keep{};
    bool lateness = false;  // the block showed that its device answered late
};

Verdict JudgeBlock(const BlockPattern& pattern);

}  // namespace block_pattern
