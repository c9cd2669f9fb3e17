#include "tests/common/RawPty.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

RawPty OpenRawPty() {
    RawPty pty;
    char name[256] = {};
    if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    pty.slavePath = QString::fromLocal8Bit(name);
    termios raw{};
    tcgetattr(pty.master, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.master, TCSANOW, &raw);
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    return pty;
}

void WriteAll(int fd, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("device write failed");
    }
}

}  // namespace testsupport
