#include "tools/sim/Transmitter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace batmonsim {

bool Transmitter::Schedule(const Answer& answer, const FaultDecision& decision,
                           Clock::time_point earliest) {
    if (queue_.size() >= kMaxQueuedPieces) return false;
    const std::string faults = decision.Describe();
    Clock::time_point at = std::max(earliest, lineFreeAt_);

    if (!decision.noise.empty()) {
        LogRecord noise;
        noise.dir = "tx";
        noise.bytes = decision.noise;
        noise.fault = "noise";
        at = QueueBytes(decision.noise, at, noise, 0, Clock::duration(0));
    }
    std::vector<std::uint8_t> bytes = answer.bytes;
    if (decision.corrupt) {
        // Inverting both CRC bytes can never yield the right CRC again.
        bytes[bytes.size() - 1] ^= 0xFF;
        bytes[bytes.size() - 2] ^= 0xFF;
    }
    const std::size_t pauseAfter = decision.split ? bytes.size() / 2 : 0;
    const int copies = decision.doubled ? 2 : 1;
    for (int copy = 0; copy < copies; ++copy) {
        at = QueueBytes(bytes, at, LogRecord::ForAnswer("tx", bytes, answer, faults), pauseAfter,
                        splitPause_);
    }
    lineFreeAt_ = at;
    return true;
}

Clock::time_point Transmitter::QueueBytes(const std::vector<std::uint8_t>& bytes,
                                          Clock::time_point start, const LogRecord& record,
                                          std::size_t pauseAfter, Clock::duration pause) {
    const Clock::duration byteTime = wireTime_ ? Clock::duration(kByteTime) : Clock::duration(0);
    const std::size_t pieceLength = wireTime_ ? 1 : bytes.size();
    Clock::time_point at = start;
    for (std::size_t from = 0; from < bytes.size();) {
        std::size_t to = std::min(from + pieceLength, bytes.size());
        if (from < pauseAfter && to > pauseAfter) to = pauseAfter;
        const Clock::duration gap =
            byteTime + (from != 0 && from == pauseAfter ? pause : Clock::duration(0));
        if (from != 0) at += gap;
        Piece piece{{bytes.begin() + static_cast<std::ptrdiff_t>(from),
                     bytes.begin() + static_cast<std::ptrdiff_t>(to)},
                    at,
                    from == 0 ? byteTime : gap,
                    std::nullopt,
                    0};
        if (from == 0) piece.record = record;
        queue_.push_back(std::move(piece));
        from = to;
    }
    return at + byteTime;
}

std::optional<Clock::time_point> Transmitter::NextDue() const {
    if (queue_.empty()) return std::nullopt;
    const Piece& next = queue_.front();
    return std::max(next.due, lastPieceSentAt_ + next.gapAfterPrevious);
}

Transmitter::WriteStatus Transmitter::WriteDue(int fd, Clock::time_point now, TrafficLog& log) {
    while (!queue_.empty() && *NextDue() <= now) {
        Piece& piece = queue_.front();
        const ssize_t n =
            ::write(fd, piece.bytes.data() + piece.written, piece.bytes.size() - piece.written);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return WriteStatus::WaitingForRoom;
            return WriteStatus::Failed;
        }
        if (piece.record) {
            log.Write(*piece.record);
            piece.record.reset();
        }
        piece.written += static_cast<std::size_t>(n);
        if (piece.written < piece.bytes.size()) return WriteStatus::WaitingForRoom;
        lastPieceSentAt_ = now;
        queue_.pop_front();
    }
    return WriteStatus::Idle;
}

}  // namespace batmonsim
