#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace batmonsim {

// Cuts the received byte stream into eight-byte requests. A request is any eight consecutive
// bytes whose CRC checks; bytes that cannot start one are discarded one at a time, so the
// framer falls back into step after noise or a torn frame. A silence on the line ends whatever
// partial frame is left, as RTU framing does. Holds at most seven bytes between calls.
class RequestFramer {
public:
    static constexpr std::size_t kRequestLength = 8;
    // Longest run of discarded bytes reported as one piece.
    static constexpr std::size_t kMaxDiscardRun = 256;

    struct Piece {
        enum class Kind { Request, Discarded };
        Kind kind;
        std::vector<std::uint8_t> bytes;
    };

    // Takes newly received bytes; returns the requests and discarded runs they complete, in
    // the order in which they arrived.
    std::vector<Piece> Feed(const std::uint8_t* data, std::size_t length);

    // The line has been silent for a frame gap: the bytes held back can no longer become a
    // request. Returns them, together with any earlier discarded bytes, as one discarded run.
    std::optional<Piece> EndOfSilence();

    bool HoldsBytes() const { return !pending_.empty() || !discarded_.empty(); }

private:
    void FlushDiscarded(std::vector<Piece>& pieces);

    std::vector<std::uint8_t> pending_;
    std::vector<std::uint8_t> discarded_;
};

}  // namespace batmonsim
