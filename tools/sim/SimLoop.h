#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/sim/BusDevices.h"
#include "tools/sim/FaultInjector.h"
#include "tools/sim/RequestFramer.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/TrafficLog.h"
#include "tools/sim/Transmitter.h"

namespace batmonsim {

// The sim's single event loop: reads requests from the port, answers them through the fault
// injector and the paced transmitter, and ends on a signal or when the run time is over.
class SimLoop {
public:
    SimLoop(const SimOptions& options, int portFd, TrafficLog& log);

    // Runs until `signalFd` (a signalfd) becomes readable, the duration passes or the port
    // fails. Returns the process exit code.
    int Run(int signalFd);

private:
    void OnReceived(const std::uint8_t* data, std::size_t length, Clock::time_point now);
    void OnRequest(const std::vector<std::uint8_t>& frame, Clock::time_point now);

    const SimOptions& options_;
    int portFd_;
    TrafficLog& log_;
    RequestFramer framer_;
    BusDevices devices_;
    FaultInjector faults_;
    Transmitter transmitter_;
    Clock::time_point lastReceived_{};
};

}  // namespace batmonsim
