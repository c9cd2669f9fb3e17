#include "export/calc/plugin/OfficePipe.h"

#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <com/sun/star/io/IOException.hpp>
#include <cppuhelper/implbase1.hxx>
#include <cstring>
#include <stdexcept>

#include "export/calc/plugin/UnoSupport.h"

namespace calc::uno {
namespace css = com::sun::star;
using css::uno::Reference;
using css::uno::Sequence;

namespace {

[[noreturn]] void Fail(const QString& text) { throw std::runtime_error(text.toStdString()); }

QString ErrnoText(int error) { return QString::fromLocal8Bit(strerror(error)); }

// A bridge connection over a connected socket. close() only shuts the socket down, so a call
// blocked on it from another thread ends at once while the descriptor stays valid until the
// bridge lets go of the connection.
class SocketConnection : public cppu::WeakImplHelper1<css::connection::XConnection> {
public:
    SocketConnection(int fd, QString description) : fd_(fd), description_(std::move(description)) {}
    ~SocketConnection() override { ::close(fd_); }

    sal_Int32 read(Sequence<sal_Int8>& bytes, sal_Int32 count) override {
        bytes.realloc(count);
        sal_Int32 done = 0;
        while (done < count) {
            const ssize_t n = ::recv(fd_, bytes.getArray() + done, size_t(count - done), 0);
            if (n > 0) {
                done += sal_Int32(n);
            } else if (n == 0) {
                break;  // the office closed its end
            } else if (errno != EINTR) {
                throw css::io::IOException(
                    ToOU(QStringLiteral("reading from the office: %1").arg(ErrnoText(errno))));
            }
        }
        if (done < count) bytes.realloc(done);
        return done;
    }

    void write(const Sequence<sal_Int8>& bytes) override {
        const sal_Int8* data = bytes.getConstArray();
        std::size_t left = std::size_t(bytes.getLength());
        while (left > 0) {
            const ssize_t n = ::send(fd_, data, left, MSG_NOSIGNAL);
            if (n >= 0) {
                data += n;
                left -= std::size_t(n);
            } else if (errno != EINTR) {
                throw css::io::IOException(
                    ToOU(QStringLiteral("writing to the office: %1").arg(ErrnoText(errno))));
            }
        }
    }

    void flush() override {}
    void close() override { ::shutdown(fd_, SHUT_RDWR); }
    rtl::OUString getDescription() override { return ToOU(description_); }

private:
    int fd_;
    QString description_;
};

}  // namespace

QString OfficePipeName() {
    static const QString name = [] {
        unsigned char bytes[16];
        std::size_t filled = 0;
        while (filled < sizeof bytes) {
            const ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
            if (n < 0 && errno != EINTR)
                Fail(QStringLiteral("getrandom: %1").arg(ErrnoText(errno)));
            if (n > 0) filled += std::size_t(n);
        }
        return QStringLiteral("batmon_calc_") +
               QString::fromLatin1(
                   QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex());
    }();
    return name;
}

QString OfficePipePath(const QString& name) {
    const char* dir = ::access("/tmp", W_OK) == 0 ? "/tmp" : "/var/tmp";
    return QStringLiteral("%1/OSL_PIPE_%2_%3").arg(QLatin1String(dir)).arg(getuid()).arg(name);
}

Reference<css::connection::XConnection> ConnectOfficePipe(const QString& name) {
    const QByteArray path = OfficePipePath(name).toLocal8Bit();
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0) return {};
    if (!S_ISSOCK(info.st_mode) || info.st_uid != getuid()) {
        Fail(QStringLiteral("%1 is not a socket of this user (owner %2): not connecting to it")
                 .arg(QString::fromLocal8Bit(path))
                 .arg(info.st_uid));
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::size_t(path.size()) >= sizeof address.sun_path) {
        Fail(QStringLiteral("pipe path too long: %1").arg(QString::fromLocal8Bit(path)));
    }
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail(QStringLiteral("socket: %1").arg(ErrnoText(errno)));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        // A socket file left behind by an office that has ended: not up yet.
        if (error == ECONNREFUSED || error == ENOENT) return {};
        Fail(QStringLiteral("connecting to %1: %2")
                 .arg(QString::fromLocal8Bit(path), ErrnoText(error)));
    }
    // The process listening must be ours too: a socket file can be passed on, a peer cannot.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != getuid()) {
        ::close(fd);
        Fail(QStringLiteral("the process listening on %1 belongs to user %2, not to this user: "
                            "not connecting to it")
                 .arg(QString::fromLocal8Bit(path))
                 .arg(peer.uid));
    }
    return new SocketConnection(fd, QStringLiteral("pipe %1").arg(name));
}

}  // namespace calc::uno
