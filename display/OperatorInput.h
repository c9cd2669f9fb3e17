#pragma once

#include <QString>
#include <cstdint>
#include <stdexcept>

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

// The message shown when a sampling period is out of range; it names the accepted range.
QString SamplingPeriodRangeMessage();

// The message shown when a typed set-up value is outside what its field can send:
// "首地址应为 0 到 95 之间的整数".
QString FieldRangeMessage(const QString& field, std::int32_t min, std::int32_t max);
