#pragma once

#include <cstdint>

#include "protocol/ModbusCrc.h"

// The request side's step counters, shared with the response side on the main thread.
struct PollState {
    std::uint16_t PollStep = 0;    // step the next pacing tick sends (1..16), 0 before the start
    std::uint16_t SentStep = 0;    // step most recently sent (1..16), 0 before the first request
    bool PollCycleActive = false;  // while set, answers to poll requests are decoded
};

// Start of monitoring: the next tick sends step 1 and answers are decoded from now on.
void StartMonitoring(PollState& state);

// What one pacing tick sends, and the side effects the window carries out around it.
struct PollTick {
    std::uint16_t step;
    Frame frame;
    bool clearLogFirst;  // clear the traffic log before sending (step 1)
    bool clearCharts;    // empty the first series of both charts (step 9)
    bool stopPacing;     // the cycle is complete: stop the pacing timer (step 16)
};

// Takes the request of PollStep, records it as SentStep and advances PollStep (16 wraps to 1).
PollTick AdvancePoll(PollState& state);
