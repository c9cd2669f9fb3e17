#include "protocol/PollCycle.h"

#include "protocol/PollTable.h"

void StartMonitoring(PollState& state) {
    state.PollStep = 1;
    state.PollCycleActive = true;
}

PollTick AdvancePoll(PollState& state) {
    const auto& table = PollTable();
    // PollStep is only ever 1..16 once monitoring has started; anything else restarts the cycle.
    const std::uint16_t step =
        (state.PollStep >= 1 && state.PollStep <= table.size()) ? state.PollStep : 1;
    const PollRequest& request = table[step - 1];

    state.SentStep = step;
    state.PollStep = step == table.size() ? 1 : static_cast<std::uint16_t>(step + 1);
    if (step == 1) state.PollCycleActive = true;

    return PollTick{step, request.frame, step == 1, step == 9, step == table.size()};
}
