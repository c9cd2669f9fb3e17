// batmon-sim: plays the battery devices 0xA0 and 0xA1 on a pseudo-terminal, a serial device or
// a TCP port (as a serial device server would).
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/Log.h"
#include "tools/sim/SimLoop.h"
#include "tools/sim/SimOptions.h"
#include "tools/sim/SimPort.h"
#include "tools/sim/TrafficLog.h"

int main(int argc, char** argv) {
    using namespace batmonsim;
    config::InstallLogHandler(config::LogStyle::Plain);
    const auto parsed = ParseSimOptions(config::ArgumentsOf(argc, argv).mid(1));
    if (!parsed.options) return config::Finish(QStringLiteral("batmon-sim"), parsed.exit);
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
        const char* why = std::strerror(errno);
        qCCritical(SimLog, "batmon-sim: signalfd: %s", why);
        return 1;
    }

    TrafficLog log;
    if (!options.logPath.empty() && !log.Open(options.logPath)) {
        const char* why = std::strerror(errno);
        qCCritical(SimLog, "batmon-sim: %s: %s", options.logPath.c_str(), why);
        return 1;
    }
    SimPort port;
    const bool overTcp = !options.tcpHost.empty();
    const bool opened = overTcp ? port.ListenTcp(options.tcpHost, options.tcpPort)
                        : options.devicePath.empty() ? port.OpenPseudoTerminal()
                                                     : port.OpenDevice(options.devicePath);
    if (!opened || (!options.linkPath.empty() && !port.CreateLink(options.linkPath))) {
        qCCritical(SimLog, "batmon-sim: %s", port.Error().c_str());
        return 1;
    }
    std::printf("PORT %s\n", port.ClientPath().c_str());
    std::fflush(stdout);

    SimLoop loop(options, port.Fd(), log);
    const int status = overTcp ? loop.RunListener(signalFd) : loop.Run(signalFd);
    ::close(signalFd);
    return status;
}
