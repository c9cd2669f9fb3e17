#pragma once

#include <cstddef>
#include <cstdint>

#include "BusDevices.h"
#include "FaultInjector.h"
#include "RequestFramer.h"
#include "SimOptions.h"
#include "TrafficLog.h"
#include "Transmitter.h"

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
