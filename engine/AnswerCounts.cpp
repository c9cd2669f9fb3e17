#include "engine/AnswerCounts.h"

#include "protocol/ModbusCrc.h"

UnrecognisedBuffer ClassifyUnrecognised(std::span<const std::uint8_t> buffer) {
    constexpr std::size_t kAnswerLength = 11;
    for (std::size_t offset = 0; offset + kAnswerLength <= buffer.size(); ++offset) {
        const auto candidate = buffer.subspan(offset, kAnswerLength);
        if (candidate[1] == 0x04 && candidate[2] == 6 && HasValidCrc(candidate))
            return UnrecognisedBuffer::ForeignAddress;
    }
    return UnrecognisedBuffer::Garbled;
}
