#pragma once

#include <cstdint>
#include <memory>
#include <optional>

// One outgoing block, owned by whoever holds it.
struct TWriteBlock {
    std::unique_ptr<std::uint8_t[]> Data;
    std::uint16_t Length = 0;
};

// First-in first-out hand-over of outgoing blocks from the main thread to the writer: a
// non-blocking pipe carrying one record (block address and length) per block. Each record is
// written and read as one unit, the kernel keeps their order, and the writer can poll the read
// end together with the close signal. Blocks still queued when the queue is destroyed are freed.
class TWriteQueue {
public:
    TWriteQueue() = default;
    ~TWriteQueue();
    TWriteQueue(const TWriteQueue&) = delete;
    TWriteQueue& operator=(const TWriteQueue&) = delete;

    bool Create();
    // Hands the block over; false (the block stays with the caller) when the queue is full.
    bool Post(TWriteBlock& block);
    // The next block, or nothing when the queue is empty at the moment.
    std::optional<TWriteBlock> TryTake();
    // Readable while at least one block waits.
    int ReadyFd() const { return readFd_; }

private:
    int readFd_ = -1;
    int writeFd_ = -1;
};
