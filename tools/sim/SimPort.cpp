#include "tools/sim/SimPort.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace batmonsim {
namespace {

bool MakeRaw(int fd, bool setLineSpeed) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (setLineSpeed && (cfsetispeed(&tio, B9600) != 0 || cfsetospeed(&tio, B9600) != 0)) {
        return false;
    }
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

SimPort::~SimPort() {
    RemoveLink();
    if (heldSlaveFd_ >= 0) ::close(heldSlaveFd_);
    if (fd_ >= 0) ::close(fd_);
}

bool SimPort::Fail(const std::string& what) {
    error_ = what + ": " + std::strerror(errno);
    return false;
}

bool SimPort::OpenPseudoTerminal() {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return Fail("posix_openpt");
    if (grantpt(fd_) != 0) return Fail("grantpt");
    if (unlockpt(fd_) != 0) return Fail("unlockpt");
    char name[256] = {};
    if (ptsname_r(fd_, name, sizeof name) != 0) return Fail("ptsname_r");
    clientPath_ = name;
    heldSlaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (heldSlaveFd_ < 0) return Fail("open " + clientPath_);
    if (!MakeRaw(heldSlaveFd_, true)) return Fail("raw mode on " + clientPath_);
    if (!MakeRaw(fd_, false)) return Fail("raw mode on the pseudo-terminal master");
    if (fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK) != 0) return Fail("O_NONBLOCK");
    return true;
}

bool SimPort::OpenDevice(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return Fail("open " + path);
    if (!MakeRaw(fd_, true)) return Fail("line settings on " + path);
    tcflush(fd_, TCIOFLUSH);
    clientPath_ = path;
    return true;
}

bool SimPort::ListenTcp(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    const int resolved =
        getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
    if (resolved != 0) {
        error_ = "resolve " + host + ": " + gai_strerror(resolved);
        return false;
    }
    for (const addrinfo* address = addresses; address && fd_ < 0; address = address->ai_next) {
        const int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        // A restarted sim takes its port back at once, while the old connection lingers.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, address->ai_addr, address->ai_addrlen) == 0 && ::listen(fd, 4) == 0) {
            fd_ = fd;
            break;
        }
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    freeaddrinfo(addresses);
    if (fd_ < 0) return Fail("listen on " + host + ":" + std::to_string(port));

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    const bool ipv6 = bound.ss_family == AF_INET6;
    const std::uint16_t boundPort =
        ntohs(ipv6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                   : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    const bool literalIpv6 = host.find(':') != std::string::npos;
    clientPath_ =
        "tcp://" + (literalIpv6 ? "[" + host + "]" : host) + ":" + std::to_string(boundPort);
    return true;
}

bool SimPort::CreateLink(const std::string& linkPath) {
    struct stat existing {};
    if (lstat(linkPath.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            errno = EEXIST;
            return Fail("will not replace " + linkPath);
        }
        // Most likely left behind by a sim that was killed.
        if (::unlink(linkPath.c_str()) != 0) return Fail("unlink " + linkPath);
    }
    if (::symlink(clientPath_.c_str(), linkPath.c_str()) != 0) return Fail("symlink " + linkPath);
    linkPath_ = linkPath;
    return true;
}

void SimPort::RemoveLink() {
    if (linkPath_.empty()) return;
    // Only remove the link while it is still ours; another sim may have taken the name over.
    char target[4096] = {};
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n >= 0 && clientPath_ == std::string(target, static_cast<std::size_t>(n))) {
        ::unlink(linkPath_.c_str());
    }
    linkPath_.clear();
}

}  // namespace batmonsim
