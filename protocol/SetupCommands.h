#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "ModbusCrc.h"

// A text that is not an integer. what() is UTF-8 and is the text the operator sees.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const QString& message);
};

// Decimal conversion of an operator-typed number: an optional sign followed by ASCII decimal
// digits, the value within the signed 32-bit range. Blanks before and after the number are
// ignored, because a stray space typed into an edit is not worth an error box; blanks inside
// the number are not. Anything else throws EConvertError("'<text>' is not a valid integer
// value") with the text exactly as given.
std::int32_t StrToInt(const QString& text);

// The set-up command frames, checksum included. Operator numbers are taken modulo 256 where
// they go into a frame byte; the ranges printed next to the edits are guidance only.
Frame SetDeviceInfoFrame(std::int32_t firstAddress, std::int32_t frequencyPoint,
                         std::int32_t dataAddress);
Frame QueryDeviceInfoFrame(std::int32_t firstAddress);
Frame AuthorizeModuleFrame(std::int32_t firstAddress, std::int32_t moduleAddress);

// The sampling timer's interval for a period in seconds, or nullopt when the interval in
// milliseconds would be negative or beyond what a timer accepts. 0 is valid: no further cycles.
std::optional<int> SamplingPeriodMs(std::int32_t seconds);

// The message shown when SamplingPeriodMs rejects a period; it names the accepted range.
QString SamplingPeriodRangeMessage();
