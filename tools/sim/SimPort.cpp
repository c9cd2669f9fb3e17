#include "tools/sim/SimPort.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
