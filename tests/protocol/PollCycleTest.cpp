#include <gtest/gtest.h>

#include "protocol/PollCycle.h"
#include "protocol/PollTable.h"

namespace {

TEST(PollCycle, sendsSixteenFramesInOrderThenWrapsToOne) {
    PollState state;
    StartMonitoring(state);
    EXPECT_EQ(state.PollStep, 1);
    EXPECT_TRUE(state.PollCycleActive);

    for (std::uint16_t step = 1; step <= 16; ++step) {
        SCOPED_TRACE(step);
        const PollTick tick = AdvancePoll(state);
        EXPECT_EQ(tick.step, step);
        EXPECT_EQ(tick.frame, PollTable()[step - 1].frame);
        // The counters have moved before the frame leaves: SentStep names it, PollStep the next.
        EXPECT_EQ(state.SentStep, step);
        EXPECT_EQ(state.PollStep, step == 16 ? 1 : step + 1);
        EXPECT_EQ(tick.clearLogFirst, step == 1);
        EXPECT_EQ(tick.clearCharts, step == 9);
        EXPECT_EQ(tick.stopPacing, step == 16);
    }
    EXPECT_EQ(state.SentStep, 16);

    const PollTick next = AdvancePoll(state);
    EXPECT_EQ(next.step, 1);
    EXPECT_EQ(next.frame[6], 0xA8);
    EXPECT_EQ(next.frame[7], 0x92);
}

TEST(PollCycle, stepOneReactivatesDecodingAndRestartRunsAFullCycle) {
    PollState state;
    StartMonitoring(state);
    for (int i = 0; i < 7; ++i) AdvancePoll(state);
    state.PollCycleActive = false;

    // Start pressed in the middle of a cycle: the next tick sends step 1 again.
    StartMonitoring(state);
    state.PollCycleActive = false;
    EXPECT_EQ(AdvancePoll(state).step, 1);
    EXPECT_TRUE(state.PollCycleActive);
    EXPECT_EQ(state.SentStep, 1);
}

TEST(PollCycle, outOfRangeStepRestartsAtOne) {
    PollState never;  // PollStep 0: monitoring was never started
    EXPECT_EQ(AdvancePoll(never).step, 1);
    EXPECT_EQ(never.PollStep, 2);

    PollState corrupt;
    corrupt.PollStep = 17;
    EXPECT_EQ(AdvancePoll(corrupt).step, 1);
}

}  // namespace
