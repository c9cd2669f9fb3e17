#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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
    // `portFd` is the port, or the listening socket for RunListener.
    SimLoop(const SimOptions& options, int portFd, TrafficLog& log);

    // Runs until `signalFd` (a signalfd) becomes readable, the duration passes or the port
    // fails. Returns the process exit code.
    int Run(int signalFd);

    // Serves one TCP client at a time on the listening socket: a client that leaves (closes,
    // resets, stops reading) ends only its connection, and the next client is accepted with a
    // quiet line. The batteries carry on where they were. Ends like Run.
    int RunListener(int signalFd);

private:
    enum class End { Stopped, PortFailed, PeerLeft };
    End Serve(int fd, int signalFd, bool isConnection);
    bool TimeIsUp() const { return end_ && Clock::now() >= *end_; }

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
    std::optional<Clock::time_point> end_;
    Clock::time_point started_ = Clock::now();  // the discharge plan's time 0
};

}  // namespace batmonsim
