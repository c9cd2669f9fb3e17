#include "tests/serial/TcpPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tests/common/WaitFor.h"

namespace {

int ListenOn(std::uint16_t port, bool ipv6, int backlog, std::uint16_t& boundPort) {
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        in6->sin6_port = htons(port);
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
        in4->sin_family = AF_INET;
        in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in4->sin_port = htons(port);
        length = sizeof *in4;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return fd;
}

}  // namespace

TTcpPeer::TTcpPeer(std::uint16_t port, bool ipv6) { listenFd_ = ListenOn(port, ipv6, 4, port_); }

TTcpPeer::~TTcpPeer() {
    Join();
    CloseConnection();
    StopListening();
}

bool TTcpPeer::Accept() {
    return testsupport::WaitUntil([&] {
        connectionFd_ = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connectionFd_ < 0) return false;
        const int on = 1;
        setsockopt(connectionFd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return true;
    });
}

void TTcpPeer::Send(const TBytes& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            send(connectionFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd wait{connectionFd_, POLLOUT, 0};
            poll(&wait, 1, 100);
            continue;
        }
        throw std::runtime_error(std::string("send: ") + std::strerror(errno));
    }
}

void TTcpPeer::SendShaped(std::vector<TBytes> parts, std::chrono::milliseconds gap) {
    Join();
    shaper_ = std::thread([this, parts = std::move(parts), gap] {
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(gap);
            Send(parts[i]);
        }
    });
}

void TTcpPeer::Join() {
    if (shaper_.joinable()) shaper_.join();
}

TBytes TTcpPeer::Drain() const {
    TBytes all;
    std::uint8_t chunk[4096];
    for (ssize_t n; connectionFd_ >= 0 && (n = recv(connectionFd_, chunk, sizeof chunk, 0)) > 0;)
        all.insert(all.end(), chunk, chunk + n);
    return all;
}

void TTcpPeer::CloseConnection(bool reset) {
    if (connectionFd_ < 0) return;
    if (reset) {
        const linger abort{1, 0};
        setsockopt(connectionFd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(connectionFd_);
    connectionFd_ = -1;
}

void TTcpPeer::StopListening() {
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

std::uint16_t RefusingPort() {
    // A port just bound and released again: nothing listens there for the test's short while.
    std::uint16_t port = 0;
    const int fd = ListenOn(0, false, 1, port);
    if (fd >= 0) close(fd);
    return port;
}

TBlackHole::TBlackHole() {
    listenFd_ = ListenOn(0, false, 0, port_);
    if (listenFd_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    // Connect until one attempt stays unanswered: from then on the queue is full.
    for (int i = 0; i < 16 && !ready_; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fillers_.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) continue;
        pollfd wait{fd, POLLOUT, 0};
        ready_ = errno == EINPROGRESS && poll(&wait, 1, 300) == 0;
    }
}

TBlackHole::~TBlackHole() {
    for (const int fd : fillers_) close(fd);
    if (listenFd_ >= 0) close(listenFd_);
}
