#include "tests/service/NotifySocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <cstring>

namespace servicetest {

NotifySocket::NotifySocket() : path_(dir_.filePath(QStringLiteral("notify"))) {
    const QByteArray name = QFile::encodeName(path_);
    sockaddr_un address{};
    if (!dir_.isValid() || name.size() >= static_cast<int>(sizeof address.sun_path)) return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

NotifySocket::~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
}

const QStringList& NotifySocket::Assignments() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) break;
        const QString message = QString::fromUtf8(buffer, n);
        for (const QString& line : message.split(u'\n', Qt::SkipEmptyParts)) assignments_ << line;
    }
    return assignments_;
}

QString NotifySocket::LastStatus() {
    const QString prefix = QStringLiteral("STATUS=");
    const QStringList& all = Assignments();
    for (auto it = all.crbegin(); it != all.crend(); ++it)
        if (it->startsWith(prefix)) return it->mid(prefix.size());
    return {};
}

void NotifySocket::Clear() {
    Assignments();
    assignments_.clear();
}

NotifyEnvironment::NotifyEnvironment(const NotifySocket& socket, qint64 watchdogUsec) {
    qputenv("NOTIFY_SOCKET", QFile::encodeName(socket.Path()));
    if (watchdogUsec > 0) qputenv("WATCHDOG_USEC", QByteArray::number(watchdogUsec));
}

NotifyEnvironment::~NotifyEnvironment() {
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
}

}  // namespace servicetest
