#include "SetupCommands.h"

#include <climits>

namespace {

constexpr std::uint8_t kBaseAddress = 0xA0;

std::uint8_t LowByte(std::uint32_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

// Sums go through unsigned arithmetic so that any int32 input wraps instead of overflowing.
std::uint8_t OffsetByte(std::uint8_t base, std::int32_t offset) {
    return LowByte(base + static_cast<std::uint32_t>(offset));
}

Frame WithCrc(Frame frame) {
    StoreCrc(frame);
    return frame;
}

bool IsBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

}  // namespace

EConvertError::EConvertError(const QString& message) : std::runtime_error(message.toStdString()) {}

std::int32_t StrToInt(const QString& text) {
    const auto fail = [&text]() -> EConvertError {
        return EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    };

    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;

    bool negative = false;
    if (begin < end && (text[begin] == u'+' || text[begin] == u'-')) {
        negative = text[begin] == u'-';
        ++begin;
    }
    if (begin == end) throw fail();

    // Accumulate the magnitude; INT_MIN's magnitude is one more than INT_MAX's.
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
    std::int64_t magnitude = 0;
    for (qsizetype i = begin; i < end; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') throw fail();
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > limit) throw fail();
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

Frame SetDeviceInfoFrame(std::int32_t firstAddress, std::int32_t frequencyPoint,
                         std::int32_t dataAddress) {
    return WithCrc({OffsetByte(kBaseAddress, firstAddress), 0x06, 0x03, 0x00,
                    OffsetByte(0x00, frequencyPoint), OffsetByte(kBaseAddress, dataAddress), 0, 0});
}

Frame QueryDeviceInfoFrame(std::int32_t firstAddress) {
    return WithCrc({OffsetByte(kBaseAddress, firstAddress), 0x04, 0x30, 0x00, 0x00, 0x01, 0, 0});
}

Frame AuthorizeModuleFrame(std::int32_t firstAddress, std::int32_t moduleAddress) {
    return WithCrc({OffsetByte(kBaseAddress, firstAddress), 0x06, 0x03, 0x55, 0x00,
                    OffsetByte(0x80, moduleAddress), 0, 0});
}

std::optional<int> SamplingPeriodMs(std::int32_t seconds) {
    const std::int64_t milliseconds = static_cast<std::int64_t>(seconds) * 1000;
    if (milliseconds < 0 || milliseconds > INT_MAX) return std::nullopt;
    return static_cast<int>(milliseconds);
}

QString SamplingPeriodRangeMessage() {
    return QStringLiteral("采样频率应为 0 到 %1 秒之间的整数").arg(INT_MAX / 1000);
}
