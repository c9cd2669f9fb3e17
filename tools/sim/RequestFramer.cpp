#include "tools/sim/RequestFramer.h"

#include "tools/sim/BusDevices.h"

namespace batmonsim {

std::vector<RequestFramer::Piece> RequestFramer::Feed(const std::uint8_t* data,
                                                      std::size_t length) {
    std::vector<Piece> pieces;
    pending_.insert(pending_.end(), data, data + length);
    std::size_t start = 0;
    while (pending_.size() - start >= kRequestLength) {
        const std::uint8_t* candidate = pending_.data() + start;
        if (HasValidCrc(candidate, kRequestLength)) {
            FlushDiscarded(pieces);
            pieces.push_back({Piece::Kind::Request, {candidate, candidate + kRequestLength}});
            start += kRequestLength;
        } else {
            discarded_.push_back(*candidate);
            ++start;
            if (discarded_.size() >= kMaxDiscardRun) FlushDiscarded(pieces);
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
    return pieces;
}

std::optional<RequestFramer::Piece> RequestFramer::EndOfSilence() {
    if (!HoldsBytes()) return std::nullopt;
    discarded_.insert(discarded_.end(), pending_.begin(), pending_.end());
    pending_.clear();
    Piece piece{Piece::Kind::Discarded, std::move(discarded_)};
    discarded_.clear();
    return piece;
}

void RequestFramer::FlushDiscarded(std::vector<Piece>& pieces) {
    if (discarded_.empty()) return;
    pieces.push_back({Piece::Kind::Discarded, std::move(discarded_)});
    discarded_.clear();
}

}  // namespace batmonsim
