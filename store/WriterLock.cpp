#include "store/WriterLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "store/DataDir.h"

namespace store {

WriterLock::Outcome WriterLock::Take(QString* failure) {
    if (fd_ >= 0) return Outcome::Taken;
    const QByteArray path = QFile::encodeName(LockFilePath(dataDir_));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        if (error == EROFS || error == EACCES || error == EPERM) return Outcome::ReadOnly;
        if (failure) *failure = QString::fromLocal8Bit(std::strerror(error));
        return Outcome::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return Outcome::HeldByAnother;
    }
    fd_ = fd;
    return Outcome::Taken;
}

void WriterLock::Release() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

}  // namespace store
