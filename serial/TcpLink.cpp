#include "serial/TcpLink.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serial/CommNotice.h"
#include "serial/PortDevice.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeepIdleS = 5;
constexpr int kKeepIntervalS = 2;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = (kKeepIdleS + kKeepIntervalS * kKeepCount) * 1000;

QString ReasonForErrno(int error) {
    if (error == ECONNREFUSED) return QString::fromUtf8(kReasonRefused);
    if (error == ETIMEDOUT) return QString::fromUtf8(kReasonTimedOut);
    return QStringLiteral("连接失败: ") + QString::fromLocal8Bit(std::strerror(error));
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto leftUs =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return leftUs <= 0 ? 0 : static_cast<int>((leftUs + 999) / 1000);
}

enum class TAttemptEnd { Connected, Failed, TimedOut, Cancelled };

// One non-blocking connect to one address; `error` carries the errno of a failure.
TAttemptEnd ConnectOne(int fd, const addrinfo& address, Clock::time_point deadline, int cancelFd,
                       int& error) {
    if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return TAttemptEnd::Connected;
    if (errno != EINPROGRESS) {
        error = errno;
        return TAttemptEnd::Failed;
    }
    for (;;) {
        const int wait = MillisecondsLeft(deadline);
        if (wait == 0) return TAttemptEnd::TimedOut;
        pollfd waits[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
        const int ready = poll(waits, cancelFd >= 0 ? 2 : 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error = errno;
            return TAttemptEnd::Failed;
        }
        if (cancelFd >= 0 && waits[1].revents != 0) return TAttemptEnd::Cancelled;
        if (ready == 0) continue;  // the next round sees the deadline
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        return error == 0 ? TAttemptEnd::Connected : TAttemptEnd::Failed;
    }
}

}  // namespace

TTcpConnectResult ConnectTcp(const TTcpEndpoint& endpoint, std::chrono::milliseconds timeout,
                             int cancelFd) {
    const Clock::time_point deadline = Clock::now() + timeout;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    const QByteArray host = endpoint.Host.toUtf8();
    const QByteArray service = QByteArray::number(endpoint.Port);
    const int resolved = getaddrinfo(host.constData(), service.constData(), &hints, &addresses);
    if (resolved != 0) {
        return {-1, QStringLiteral("无法解析主机名 %1: %2")
                        .arg(endpoint.Host, QString::fromLocal8Bit(gai_strerror(resolved)))};
    }

    TTcpConnectResult result{-1, QString::fromUtf8(kReasonTimedOut)};
    for (const addrinfo* address = addresses; address; address = address->ai_next) {
        if (MillisecondsLeft(deadline) == 0) break;
        int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address->ai_protocol);
        if (fd >= 0) fd = MoveAboveStandardStreams(fd);
        if (fd < 0) {
            result.Reason = ReasonForErrno(errno);
            continue;
        }
        int error = 0;
        const TAttemptEnd end = ConnectOne(fd, *address, deadline, cancelFd, error);
        if (end == TAttemptEnd::Connected) {
            ConfigureTcpLink(fd);
            result = {fd, {}};
            break;
        }
        close(fd);
        if (end == TAttemptEnd::Cancelled) {
            result.Reason = QString::fromUtf8(kReasonCancelled);
            break;
        }
        // The reason of the last address tried is the one reported.
        result.Reason = end == TAttemptEnd::TimedOut ? QString::fromUtf8(kReasonTimedOut)
                                                     : ReasonForErrno(error);
    }
    freeaddrinfo(addresses);
    return result;
}

void ConfigureTcpLink(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    // Keep-alive probes only go out on an idle link; while requests keep going out unanswered
    // by the network, this limit is what ends the connection.
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

TConnectCancel::TConnectCancel() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TConnectCancel::~TConnectCancel() {
    if (fd_ >= 0) close(fd_);
}

void TConnectCancel::Cancel() {
    if (fd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

bool TConnectCancel::Cancelled() const {
    pollfd cancelled{fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&cancelled, 1, 0) > 0;
}

void TTcpConnector::Connect(QObject* target, std::uint32_t session, const TTcpEndpoint& endpoint,
                            const std::shared_ptr<TConnectCancel>& cancel) {
    // An attempt abandoned while it waited behind an earlier one is not even started.
    if (cancel->Cancelled()) return;
    const TTcpConnectResult result = ConnectTcp(endpoint, kTcpConnectTimeout, cancel->Fd());
    if (cancel->Cancelled()) {
        if (result.Fd >= 0) close(result.Fd);
        return;
    }
    // Cancelled after this check, the notice is dropped for its old session and closes the
    // connection it carries.
    TNoticePoster(target, session).OpenResult(result.Fd, result.Reason);
}
