#pragma once

#include <atomic>
#include <chrono>

#include "serial/CommNotice.h"
#include "serial/PortThread.h"
#include "serial/PortTimeouts.h"
#include "serial/WriteQueue.h"

// What both port threads are given by the component before they start. The component outlives
// its threads: it stops and joins them before it lets go of any of this.
struct TThreadContext {
    int PortFd = -1;
    int CloseSignalFd = -1;
    QObject* NotifyTarget = nullptr;
    const TPortTimeouts* Timeouts = nullptr;
    std::uint32_t Session = 0;  // which open of the component the threads belong to
    bool IsSocket = false;      // a TCP connection: no terminal settings, no SIGPIPE on writes
};

// Keeps one read of up to 1024 bytes going on the port and posts every completed read to the
// main thread; reports line errors and modem-line changes the driver counts. Ends, without a
// notice, when the close signal is set or the port is no longer valid, and with a hang-up notice
// on end-of-file, EIO or any other failure.
class TReadThread : public TPortThread {
public:
    static constexpr std::size_t kReceiveAreaSize = 1024;

    explicit TReadThread(const TThreadContext& link);

protected:
    void Run() override;

private:
    enum class TReadEnd { Completed, EndOfStream, Closed, InvalidHandle, Failed };
    struct TReadResult {
        TReadEnd End;
        std::size_t Count;
        std::chrono::steady_clock::time_point LastByte;
    };

    TReadResult ReadOnce(std::uint8_t* area);
    void DeliverBuffer(const TReadResult& result, const std::uint8_t* area) const;

    TThreadContext link_;
    TNoticePoster notices_;
};

// Writes the blocks of its queue to the port one after the other, first in first out. Posts
// SendDataEmpty once when it starts and once each time the queue runs empty after writing.
class TWriteThread : public TPortThread {
public:
    TWriteThread(const TThreadContext& link, TWriteQueue& queue, std::atomic<bool>& sendQueueEmpty);

protected:
    void Run() override;

private:
    enum class TWriteEnd { Written, Closed, InvalidHandle, Failed };
    enum class TIdleEnd { BlockQueued, Closed, Failed };

    TIdleEnd WaitForBlock() const;
    TWriteEnd WriteBuffer(const TWriteBlock& block) const;

    TThreadContext link_;
    TNoticePoster notices_;
    TWriteQueue& queue_;
    std::atomic<bool>& sendQueueEmpty_;
};
