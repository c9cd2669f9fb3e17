#include "tools/sim/SimLoop.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "config/Log.h"

namespace batmonsim {
namespace {

timespec ToTimespec(Clock::duration wait) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(wait, Clock::duration::zero()));
    return timespec{static_cast<time_t>(ns.count() / 1000000000),
                    static_cast<long>(ns.count() % 1000000000)};
}

}  // namespace

SimLoop::SimLoop(const SimOptions& options, int portFd, TrafficLog& log)
    : options_(options),
      portFd_(portFd),
      log_(log),
      devices_(options.seed),
      faults_(options),
      transmitter_(options.wireTime, std::chrono::milliseconds(options.splitPauseMs)) {
    for (const ForcedStatus& forced : options.forcedStatus)
        devices_.ForceStatus(forced.device, forced.battery, forced.code);
    for (const BatteryDrift& drift : options.voltageDrifts)
        devices_.DriftVoltage(drift.device, drift.battery, drift.perReading);
    for (const BatteryDrift& drift : options.temperatureDrifts)
        devices_.DriftTemperature(drift.device, drift.battery, drift.perReading);
    devices_.SetDischarge(options.discharge);
}

int SimLoop::Run(int signalFd) {
    const auto duration = std::chrono::seconds(options_.durationS);
    if (options_.durationS > 0) end_ = Clock::now() + duration;
    return Serve(portFd_, signalFd, false) == End::PortFailed ? 1 : 0;
}

int SimLoop::RunListener(int signalFd) {
    if (options_.durationS > 0) end_ = Clock::now() + std::chrono::seconds(options_.durationS);
    for (;;) {
        if (TimeIsUp()) return 0;
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {portFd_, POLLIN, 0}};
        const timespec timeout = end_ ? ToTimespec(*end_ - Clock::now()) : timespec{};
        if (ppoll(fds, 2, end_ ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            const char* why = std::strerror(errno);
            qCCritical(SimLog, "batmon-sim: poll failed: %s", why);
            return 1;
        }
        if (fds[0].revents != 0) return 0;
        if ((fds[1].revents & POLLIN) == 0) continue;
        const int client = ::accept4(portFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) continue;  // the client gave up before it was taken
        // Every write goes out as its own segment, so a split answer reaches the client in two.
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        qCInfo(SimLog, "batmon-sim: client connected");
        framer_ = RequestFramer();
        transmitter_ =
            Transmitter(options_.wireTime, std::chrono::milliseconds(options_.splitPauseMs));
        const End end = Serve(client, signalFd, true);
        ::close(client);
        if (end != End::PeerLeft) return end == End::PortFailed ? 1 : 0;
        qCInfo(SimLog, "batmon-sim: client left");
    }
}

SimLoop::End SimLoop::Serve(int fd, int signalFd, bool isConnection) {
    const auto frameGap = std::chrono::milliseconds(options_.frameGapMs);
    // On a connection, the client going away ends only the connection.
    const End lost = isConnection ? End::PeerLeft : End::PortFailed;

    for (;;) {
        const Clock::time_point now = Clock::now();
        if (TimeIsUp()) return End::Stopped;
        if (framer_.HoldsBytes() && now >= lastReceived_ + frameGap) {
            if (auto piece = framer_.EndOfSilence())
                log_.Write(LogRecord::Received(piece->bytes, nullptr));
        }
        const Transmitter::WriteStatus written = transmitter_.WriteDue(fd, now, log_);
        if (written == Transmitter::WriteStatus::Failed) {
            const char* why = std::strerror(errno);
            qCCritical(SimLog, "batmon-sim: write failed: %s", why);
            return lost;
        }

        std::optional<Clock::time_point> wakeAt = end_;
        const auto wakeBy = [&wakeAt](Clock::time_point at) {
            wakeAt = wakeAt ? std::min(*wakeAt, at) : at;
        };
        if (framer_.HoldsBytes()) wakeBy(lastReceived_ + frameGap);
        if (const auto due = transmitter_.NextDue();
            due && written != Transmitter::WriteStatus::WaitingForRoom) {
            wakeBy(*due);
        }

        pollfd fds[2] = {{signalFd, POLLIN, 0}, {fd, POLLIN, 0}};
        if (written == Transmitter::WriteStatus::WaitingForRoom) fds[1].events |= POLLOUT;
        const timespec timeout = wakeAt ? ToTimespec(*wakeAt - Clock::now()) : timespec{};
        if (ppoll(fds, 2, wakeAt ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            const char* why = std::strerror(errno);
            qCCritical(SimLog, "batmon-sim: poll failed: %s", why);
            return End::PortFailed;
        }
        if (fds[0].revents != 0) return End::Stopped;
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint8_t buffer[512];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                OnReceived(buffer, static_cast<std::size_t>(n), Clock::now());
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                const char* why = n == 0 ? "end of file" : std::strerror(errno);
                qCCritical(SimLog, "batmon-sim: port closed or failed: %s", why);
                return lost;
            }
        } else if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            qCWarning(SimLog, "batmon-sim: the port hung up");
            return lost;
        }
    }
}

void SimLoop::OnReceived(const std::uint8_t* data, std::size_t length, Clock::time_point now) {
    lastReceived_ = now;
    for (const RequestFramer::Piece& piece : framer_.Feed(data, length)) {
        if (piece.kind == RequestFramer::Piece::Kind::Discarded) {
            log_.Write(LogRecord::Received(piece.bytes, nullptr));
        } else {
            OnRequest(piece.bytes, now);
        }
    }
}

void SimLoop::OnRequest(const std::vector<std::uint8_t>& frame, Clock::time_point now) {
    const Request request = Request::Parse(frame.data());
    log_.Write(LogRecord::Received(frame, &request));
    const std::optional<Answer> answer =
        devices_.Respond(frame.data(), std::chrono::duration<double>(now - started_).count());
    if (!answer) return;
    const FaultDecision decision = faults_.Decide(request.address);
    if (!decision.dropReason.empty()) {
        log_.Write(LogRecord::ForAnswer("drop", answer->bytes, *answer, decision.dropReason));
        return;
    }
    if (!transmitter_.Schedule(
            *answer, decision,
            now + std::chrono::milliseconds(options_.delayMs + decision.lateMs))) {
        log_.Write(LogRecord::ForAnswer("drop", answer->bytes, *answer, "overflow"));
    }
}

}  // namespace batmonsim
