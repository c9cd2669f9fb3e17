#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "serial/CommThreads.h"
#include "serial/LineStatus.h"
#include "serial/ThreadPriority.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

}  // namespace

TReadThread::TReadThread(const TThreadContext& link)
    : TPortThread("batmon-reader"), link_(link), notices_(link.NotifyTarget, link.Session) {}

void TReadThread::Run() {
    RaiseCurrentThreadPriority(2);
    TLineStatusWatch lineStatus(link_.PortFd);
    std::uint8_t area[kReceiveAreaSize];

    for (;;) {
        const TReadResult result = ReadOnce(area);
        if (result.End == TReadEnd::Closed || result.End == TReadEnd::InvalidHandle) break;
        if (result.End == TReadEnd::Failed) {
            notices_.RequestHangup();
            break;
        }
        // Line errors and modem changes are reported ahead of the data they came with.
        const TLineStatusChange change = lineStatus.Take();
        if (change.ErrorFlags != 0) notices_.ReceiveError(change.ErrorFlags);
        if (change.ModemEvent != 0) notices_.ModemStateChange(change.ModemEvent);
        // A read that ended empty under a total time-out is simply issued again.
        if (result.Count > 0) DeliverBuffer(result, area);
        if (result.End == TReadEnd::EndOfStream) {
            notices_.RequestHangup();
            break;
        }
    }
    if (!link_.IsSocket) tcflush(link_.PortFd, TCIFLUSH);
}

// One read: waits for bytes under the time-outs in force (loaded afresh for every wait) and
// returns when the read is complete, the close signal is set or the port fails. Bytes read before
// a failure are still returned with EndOfStream so that nothing received is lost.
TReadThread::TReadResult TReadThread::ReadOnce(std::uint8_t* area) {
    const Clock::time_point start = Clock::now();
    Clock::time_point lastByte = start;
    std::size_t count = 0;

    for (;;) {
        const std::optional<int> wait =
            ReadWaitMs(link_.Timeouts->Load(), kReceiveAreaSize, count, MicrosecondsSince(start),
                       MicrosecondsSince(lastByte));
        if (!wait) return {TReadEnd::Completed, count, lastByte};

        pollfd waits[2] = {{link_.CloseSignalFd, POLLIN, 0}, {link_.PortFd, POLLIN, 0}};
        const int ready = poll(waits, 2, *wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return {TReadEnd::Failed, 0, {}};
        }
        if (waits[0].revents != 0) return {TReadEnd::Closed, 0, {}};
        if (ready == 0) continue;  // a time-out: the next ReadWaitMs completes the read
        if ((waits[1].revents & POLLNVAL) != 0) return {TReadEnd::InvalidHandle, 0, {}};

        const ssize_t got = read(link_.PortFd, area + count, kReceiveAreaSize - count);
        if (got > 0) {
            count += static_cast<std::size_t>(got);
            lastByte = Clock::now();
            continue;
        }
        if (got == 0) return {TReadEnd::EndOfStream, count, lastByte};
        if (errno == EAGAIN || errno == EINTR) continue;
        if (errno == EBADF) return {TReadEnd::InvalidHandle, 0, {}};
        // EIO and the like: the device is gone (adapter unplugged, far end of a pty closed).
        return {count > 0 ? TReadEnd::EndOfStream : TReadEnd::Failed, count, lastByte};
    }
}

void TReadThread::DeliverBuffer(const TReadResult& result, const std::uint8_t* area) const {
    // Exactly the bytes read plus one zero byte, so that the block also reads as a C string.
    const std::size_t count = result.Count;
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[count + 1]);
    std::memcpy(block.get(), area, count);
    block[count] = 0;
    notices_.ReceiveData(std::move(block), static_cast<std::uint16_t>(count), result.LastByte);
}
