#include "serial/CloseSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

TCloseSignal::~TCloseSignal() { Close(); }

bool TCloseSignal::Create() {
    Close();
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd_ >= 0;
}

void TCloseSignal::Set() {
    if (fd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

void TCloseSignal::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool TCloseSignal::IsSet(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}
