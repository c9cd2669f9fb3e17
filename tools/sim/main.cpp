// batmon-sim: plays the battery devices 0xA0 and 0xA1 on a pseudo-terminal, a serial device or
// a TCP port (as a serial device server would).
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/sim/SimLoop.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/SimPort.h"
#include "tools/sim/TrafficLog.h"

int main(int argc, char** argv) {
    using namespace batmonsim;
    const ParseResult parsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::fputs(parsed.message.c_str(), stderr);
        return parsed.message == SimUsage() ? 0 : 2;
    }
    const SimOptions& options = *parsed.options;

    // Termination signals arrive through a descriptor so the loop ends between two steps and
    // the destructors remove the symlink.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::perror("batmon-sim: signalfd");
        return 1;
    }

    TrafficLog log;
    if (!options.logPath.empty() && !log.Open(options.logPath)) {
        std::perror(("batmon-sim: " + options.logPath).c_str());
        return 1;
    }
    SimPort port;
    const bool overTcp = !options.tcpHost.empty();
    const bool opened = overTcp ? port.ListenTcp(options.tcpHost, options.tcpPort)
                        : options.devicePath.empty() ? port.OpenPseudoTerminal()
                                                     : port.OpenDevice(options.devicePath);
    if (!opened || (!options.linkPath.empty() && !port.CreateLink(options.linkPath))) {
        std::fprintf(stderr, "batmon-sim: %s\n", port.Error().c_str());
        return 1;
    }
    std::printf("PORT %s\n", port.ClientPath().c_str());
    std::fflush(stdout);

    SimLoop loop(options, port.Fd(), log);
    const int status = overTcp ? loop.RunListener(signalFd) : loop.Run(signalFd);
    ::close(signalFd);
    return status;
}
