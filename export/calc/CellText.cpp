#include "export/calc/CellText.h"

#include <QLocale>

namespace calc {
namespace {

constexpr int kMaxExactDigits = 15;

bool IsDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// Returns the text in C locale form ("-12.5") when it is a plain decimal number, else "".
QString PlainDecimal(const QString& text, const QString& localeDecimalPoint) {
    QString plain;
    int pos = 0;
    if (pos < text.size() && text[pos] == u'-') plain += text[pos++];
    const int intStart = pos;
    while (pos < text.size() && IsDigit(text[pos])) plain += text[pos++];
    const int intDigits = pos - intStart;
    if (intDigits == 0 || (intDigits > 1 && text[intStart] == u'0')) return {};
    int digits = intDigits;
    if (pos < text.size()) {
        const bool dot = text[pos] == u'.';
        const bool localePoint = text.mid(pos).startsWith(localeDecimalPoint);
        if (!dot && !localePoint) return {};
        pos += dot ? 1 : static_cast<int>(localeDecimalPoint.size());
        plain += u'.';
        const int fracStart = pos;
        while (pos < text.size() && IsDigit(text[pos])) plain += text[pos++];
        if (pos == fracStart || pos != text.size()) return {};
        digits += pos - fracStart;
    }
    return digits <= kMaxExactDigits ? plain : QString();
}

}  // namespace

CellValue CellValueFromText(const QString& text, const QString& localeDecimalPoint) {
    const QString plain = PlainDecimal(text, localeDecimalPoint);
    if (plain.isEmpty()) return CellValue::Text(text);
    bool ok = false;
    const double number = plain.toDouble(&ok);  // QString::toDouble always uses the C locale
    if (!ok || (number == 0 && plain.startsWith(u'-'))) return CellValue::Text(text);
    return CellValue::Number(number);
}

CellValue CellValueFromText(const QString& text) {
    return CellValueFromText(text, QLocale().decimalPoint());
}

}  // namespace calc
