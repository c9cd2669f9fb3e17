#include "serial/WriteQueue.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "threads/TsanHandOver.h"

namespace {

struct TBlockRecord {
    std::uint8_t* Data;
    std::uint16_t Length;
};
static_assert(sizeof(TBlockRecord) <= PIPE_BUF, "records must be written atomically");

}  // namespace

TWriteQueue::~TWriteQueue() {
    if (readFd_ >= 0) {
        while (TryTake()) {
        }
        close(readFd_);
    }
    if (writeFd_ >= 0) close(writeFd_);
}

bool TWriteQueue::Create() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    readFd_ = fds[0];
    writeFd_ = fds[1];
    return true;
}

bool TWriteQueue::Post(TWriteBlock& block) {
    const TBlockRecord record{block.Data.get(), block.Length};
    PUBLISH_HANDOVER(record.Data);
    ssize_t written;
    do {
        written = write(writeFd_, &record, sizeof record);
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(sizeof record)) return false;
    block.Data.release();
    return true;
}

std::optional<TWriteBlock> TWriteQueue::TryTake() {
    TBlockRecord record{};
    ssize_t got;
    do {
        got = read(readFd_, &record, sizeof record);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof record)) return std::nullopt;
    RECEIVE_HANDOVER(record.Data);
    TWriteBlock block;
    block.Data.reset(record.Data);
    block.Length = record.Length;
    return block;
}
