#include "display/TextFormats.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kSignificantDigits = 15;

// The separator a locale puts between the fields of its short date or time format: the first
// character after a field that is not a letter, a blank or a quote, provided another field
// follows. Blanks only part a spelled-out month ("d MMM yyyy", the C locale), so such a
// format keeps the fallback.
QChar FieldSeparator(const QString& format, QChar fallback) {
    bool inField = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c.isLetter()) {
            inField = true;
            continue;
        }
        if (inField && c != u'\'' && !c.isSpace()) {
            const bool fieldFollows = std::any_of(format.begin() + i + 1, format.end(),
                                                  [](QChar f) { return f.isLetter(); });
            if (fieldFollows) return c;
        }
        if (!c.isSpace()) inField = false;
    }
    return fallback;
}

QString TwoDigits(int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); }

}  // namespace

QString NumberText(double value, const QLocale& locale) {
    if (!std::isfinite(value)) return QString::number(value);
    if (value == 0.0) return QStringLiteral("0");  // also -0.0

    // Fixed notation with as many decimals as 15 significant digits leave, then trimmed.
    const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(value))));
    const int decimals = std::clamp(kSignificantDigits - 1 - exponent, 0, 340);
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(u'.')) {
        while (text.endsWith(u'0')) text.chop(1);
        if (text.endsWith(u'.')) text.chop(1);
    }
    if (text == QStringLiteral("-0")) return QStringLiteral("0");
    return text.replace(u'.', locale.decimalPoint());
}

QString TimeStampText(const QDateTime& localTime, const QLocale& locale) {
    const QChar dateSeparator = FieldSeparator(locale.dateFormat(QLocale::ShortFormat), u'/');
    const QChar timeSeparator = FieldSeparator(locale.timeFormat(QLocale::ShortFormat), u':');
    const QDate date = localTime.date();
    const QTime time = localTime.time();
    return QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0')) + dateSeparator +
           TwoDigits(date.month()) + dateSeparator + TwoDigits(date.day()) + u' ' +
           TwoDigits(time.hour()) + timeSeparator + TwoDigits(time.minute()) + timeSeparator +
           TwoDigits(time.second());
}

QString FormatHexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    QString text;
    text.reserve(bytes.empty() ? 0 : static_cast<qsizetype>(bytes.size() * 3 - 1));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += u' ';
        text += QChar(kDigits[bytes[i] >> 4]);
        text += QChar(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}
