#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "tools/sim/BusDevices.h"
#include "tools/sim/FaultInjector.h"
#include "tools/sim/TrafficLog.h"

namespace batmonsim {

using Clock = std::chrono::steady_clock;

// Turns answers into timed pieces of output and writes them when they fall due. The line is
// half duplex: an answer never starts before the previous one has finished.
class Transmitter {
public:
    // 10 bits per byte at 9600 baud.
    static constexpr std::chrono::microseconds kByteTime{1042};
    // Answers waiting beyond this many pieces are dropped instead of queued, so a client that
    // sends but never reads cannot make the queue grow without bound.
    static constexpr std::size_t kMaxQueuedPieces = 4096;

    enum class WriteStatus { Idle, WaitingForRoom, Failed };

    Transmitter(bool wireTime, std::chrono::milliseconds splitPause)
        : wireTime_(wireTime), splitPause_(splitPause) {}

    // Queues `answer` with the faults of `decision`, starting no earlier than `earliest`.
    // Returns false when the queue is full and the answer was not queued.
    bool Schedule(const Answer& answer, const FaultDecision& decision, Clock::time_point earliest);

    // When the next piece falls due, if any is queued. Gaps inside a transmission (byte times
    // with wire pacing, the split pause) count from when the previous piece actually went out,
    // so a late write delays the rest instead of squeezing it.
    std::optional<Clock::time_point> NextDue() const;

    // Writes every piece that is due at `now` to the non-blocking descriptor `fd`, logging each
    // answer when its first byte goes out.
    WriteStatus WriteDue(int fd, Clock::time_point now, TrafficLog& log);

private:
    struct Piece {
        std::vector<std::uint8_t> bytes;
        Clock::time_point due;
        Clock::duration gapAfterPrevious;
        std::optional<LogRecord> record;
        std::size_t written = 0;
    };

    // Queues `bytes` no earlier than `start`, one piece per byte with wire pacing. A pause of
    // `pause` is inserted after the first `pauseAfter` bytes (0: no pause). Returns the
    // planned time at which the line is free again.
    Clock::time_point QueueBytes(const std::vector<std::uint8_t>& bytes, Clock::time_point start,
                                 const LogRecord& record, std::size_t pauseAfter,
                                 Clock::duration pause);

    bool wireTime_;
    std::chrono::milliseconds splitPause_;
    std::deque<Piece> queue_;
    Clock::time_point lineFreeAt_{};
    Clock::time_point lastPieceSentAt_{};
};

}  // namespace batmonsim
