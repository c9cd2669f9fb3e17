#include "display/OperatorInput.h"

#include <climits>

namespace {

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

QString SamplingPeriodRangeMessage() {
    return QStringLiteral("采样频率应为 0 到 %1 秒之间的整数").arg(INT_MAX / 1000);
}

QString FieldRangeMessage(const QString& field, std::int32_t min, std::int32_t max) {
    return QStringLiteral("%1应为 %2 到 %3 之间的整数").arg(field).arg(min).arg(max);
}
