#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "serial/CloseSignal.h"
#include "serial/CommThreads.h"
#include "serial/ThreadPriority.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

}  // namespace

TWriteThread::TWriteThread(const TThreadContext& link, TWriteQueue& queue,
                           std::atomic<bool>& sendQueueEmpty)
    : TPortThread("batmon-writer"),
      link_(link),
      notices_(link.NotifyTarget, link.Session),
      queue_(queue),
      sendQueueEmpty_(sendQueueEmpty) {}

void TWriteThread::Run() {
    RaiseCurrentThreadPriority(1);
    bool wroteSinceNotice = true;

    for (;;) {
        std::optional<TWriteBlock> block = queue_.TryTake();
        if (!block) {
            sendQueueEmpty_.store(true);
            if (wroteSinceNotice) notices_.SendDataEmpty();
            wroteSinceNotice = false;
            const TIdleEnd idle = WaitForBlock();
            if (idle == TIdleEnd::BlockQueued) continue;
            if (idle == TIdleEnd::Failed) notices_.RequestHangup();
            break;
        }
        // A block taken after the close signal is set is not written.
        if (TCloseSignal::IsSet(link_.CloseSignalFd)) break;
        const TWriteEnd written = WriteBuffer(*block);
        if (written != TWriteEnd::Written) {
            if (written == TWriteEnd::Failed) notices_.RequestHangup();
            break;
        }
        wroteSinceNotice = true;
        sendQueueEmpty_.store(true);
    }
    if (!link_.IsSocket) tcflush(link_.PortFd, TCOFLUSH);
    sendQueueEmpty_.store(true);
}

TWriteThread::TIdleEnd TWriteThread::WaitForBlock() const {
    for (;;) {
        pollfd waits[2] = {{link_.CloseSignalFd, POLLIN, 0}, {queue_.ReadyFd(), POLLIN, 0}};
        if (poll(waits, 2, kWaitForever) < 0) {
            if (errno == EINTR) continue;
            return TIdleEnd::Failed;
        }
        if (waits[0].revents != 0) return TIdleEnd::Closed;
        if ((waits[1].revents & POLLIN) != 0) return TIdleEnd::BlockQueued;
        return TIdleEnd::Failed;
    }
}

// Writes the whole block. The port is non-blocking, so a line held back by flow control shows as
// a wait for POLLOUT, which the close signal ends at once. A block not written in full within the
// write time-out counts as failed: the rest is not retried.
TWriteThread::TWriteEnd TWriteThread::WriteBuffer(const TWriteBlock& block) const {
    const Clock::time_point start = Clock::now();
    const std::int64_t limitMs = WriteLimitMs(link_.Timeouts->Load(), block.Length);
    std::size_t done = 0;

    while (done < block.Length) {
        const std::uint8_t* from = block.Data.get() + done;
        const std::size_t left = block.Length - done;
        // A connection reset by the far side must end as a failed write, not kill the program
        // with SIGPIPE.
        const ssize_t written = link_.IsSocket ? send(link_.PortFd, from, left, MSG_NOSIGNAL)
                                               : write(link_.PortFd, from, left);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EBADF) return TWriteEnd::InvalidHandle;
        if (written < 0 && errno != EAGAIN) return TWriteEnd::Failed;

        const int wait = RemainingMs(limitMs, MicrosecondsSince(start));
        if (wait == 0) return TWriteEnd::Failed;
        pollfd waits[2] = {{link_.CloseSignalFd, POLLIN, 0}, {link_.PortFd, POLLOUT, 0}};
        if (poll(waits, 2, wait) < 0 && errno != EINTR) return TWriteEnd::Failed;
        if (waits[0].revents != 0) return TWriteEnd::Closed;
        if ((waits[1].revents & POLLNVAL) != 0) return TWriteEnd::InvalidHandle;
        // POLLOUT, POLLERR/POLLHUP (the next write reports the error) or a time-out (checked above
        // on the next round).
    }
    return TWriteEnd::Written;
}
