#include "store/CsvExport.h"

#include <QDateTime>
#include <QRegularExpression>
#include <array>
#include <charconv>

#include "battery/Status.h"

namespace store {
namespace {

constexpr qsizetype kChunkBytes = qsizetype{256} * 1024;
constexpr char kBom[] = "\xEF\xBB\xBF";

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(qint64 z, int& year, unsigned& month, unsigned& day) {
    z += 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

void AppendPadded(QByteArray& out, unsigned value, int width) {
    char digits[8];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, width);
}

void AppendInt(QByteArray& out, qint64 value) {
    std::array<char, 24> buffer;
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr - buffer.data());
}

// value / 10 with one decimal and a dot: 121 -> "12.1", 5 -> "0.5".
void AppendTenths(QByteArray& out, unsigned value) {
    AppendInt(out, value / 10);
    out.append('.');
    out.append(static_cast<char>('0' + value % 10));
}

// A CSV field, quoted when it holds a separator, a quote or a line break.
void AppendField(QByteArray& out, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    if (!utf8.contains(',') && !utf8.contains('"') && !utf8.contains('\n') &&
        !utf8.contains('\r')) {
        out.append(utf8);
        return;
    }
    out.append('"');
    for (char c : utf8) {
        if (c == '"') out.append('"');
        out.append(c);
    }
    out.append('"');
}

// The status texts in UTF-8, made once.
const QByteArray& StatusTextUtf8(std::uint8_t code) {
    static const std::array<QByteArray, 256> texts = [] {
        std::array<QByteArray, 256> t;
        for (int c = 0; c < 256; ++c)
            t[c] = battery::StatusText(static_cast<std::uint8_t>(c)).toUtf8();
        return t;
    }();
    return texts[code];
}

bool WriteAll(QIODevice& out, QByteArray& buffer, QString& error) {
    if (buffer.isEmpty()) return true;
    if (out.write(buffer) != buffer.size()) {
        error = out.errorString();
        return false;
    }
    buffer.clear();
    return true;
}

}  // namespace

QByteArray FormatUtcMillis(qint64 t_ms) {
    const qint64 days = (t_ms >= 0 ? t_ms : t_ms - 86399999) / 86400000;
    const qint64 msOfDay = t_ms - days * 86400000;
    int year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    QByteArray out;
    out.reserve(24);
    AppendPadded(out, static_cast<unsigned>(year), 4);
    out.append('-');
    AppendPadded(out, month, 2);
    out.append('-');
    AppendPadded(out, day, 2);
    out.append('T');
    AppendPadded(out, static_cast<unsigned>(msOfDay / 3600000), 2);
    out.append(':');
    AppendPadded(out, static_cast<unsigned>(msOfDay / 60000 % 60), 2);
    out.append(':');
    AppendPadded(out, static_cast<unsigned>(msOfDay / 1000 % 60), 2);
    out.append('.');
    AppendPadded(out, static_cast<unsigned>(msOfDay % 1000), 3);
    out.append('Z');
    return out;
}

bool IsBareDate(const QString& text) {
    static const QRegularExpression date(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    return date.match(text).hasMatch();
}

std::optional<qint64> ParseTimeArgument(const QString& text) {
    if (IsBareDate(text)) {
        const QDate date = QDate::fromString(text, Qt::ISODate);
        if (!date.isValid()) return std::nullopt;
        return QDateTime(date, QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch();
    }
    // RFC 3339 requires a zone: "Z" or an offset. Qt's ISO parser also takes a space for "T".
    static const QRegularExpression rfc3339(QStringLiteral(
        "^\\d{4}-\\d{2}-\\d{2}[Tt ]\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?([Zz]|[+-]\\d{2}:\\d{2})$"));
    if (!rfc3339.match(text).hasMatch()) return std::nullopt;
    QString normalised = text;
    normalised[10] = u'T';
    if (normalised.endsWith(u'z')) normalised.back() = u'Z';
    // Qt reads at most milliseconds; longer fractions are cut to milliseconds.
    static const QRegularExpression longFraction(QStringLiteral("(\\.\\d{3})\\d+"));
    normalised.replace(longFraction, QStringLiteral("\\1"));
    const QDateTime parsed = QDateTime::fromString(normalised, Qt::ISODateWithMs);
    if (!parsed.isValid()) return std::nullopt;
    return parsed.toMSecsSinceEpoch();
}

QByteArray CsvHeader() {
    return QByteArrayLiteral("time,device,battery,voltage_v,temperature_c,status,status_text\n");
}

void AppendCsvLine(QByteArray& out, const battery::Reading& r) {
    out.append(FormatUtcMillis(r.tMs));
    out.append(r.device == battery::kDeviceA0   ? ",A0,"
               : r.device == battery::kDeviceA1 ? ",A1,"
                                                : ",?,");
    AppendInt(out, r.battery);
    out.append(',');
    AppendTenths(out, r.voltageDv);
    out.append(',');
    AppendTenths(out, r.temperatureDc);
    out.append(',');
    AppendInt(out, r.status);
    out.append(',');
    out.append(StatusTextUtf8(r.status));
    out.append('\n');
}

QByteArray AlarmCsvHeader() {
    return QByteArrayLiteral("time,device,battery,kind,state,value,user\n");
}

void AppendAlarmCsvLine(QByteArray& out, const alarms::AlarmEvent& e) {
    out.append(FormatUtcMillis(e.tMs));
    out.append(',');
    out.append(battery::DeviceName(e.key.battery.device).toLatin1());
    out.append(',');
    AppendInt(out, e.key.battery.battery);
    out.append(',');
    AppendField(out, alarms::KindId(e.key.kind));
    out.append(',');
    out.append(alarms::StateId(e.state).toLatin1());
    out.append(',');
    // A kind without a value (no answer) leaves the field empty.
    if (e.value) out.append(QByteArray::number(*e.value, 'g', 10));
    out.append(',');
    AppendField(out, e.user);
    out.append('\n');
}

namespace {

// Streams the header and one line per row that `forEach` visits to `out`, in chunks, so a
// large export never sits whole in memory. `forEach` takes the visitor and returns false when
// the store could not be read.
template <class ForEach, class AppendLine>
CsvResult StreamCsv(HistoryReader& reader, QIODevice& out, bool byteOrderMark,
                    const QByteArray& header, ForEach&& forEach, AppendLine&& appendLine) {
    CsvResult result;
    QByteArray buffer;
    buffer.reserve(kChunkBytes + 256);
    if (byteOrderMark) buffer.append(kBom);
    buffer.append(header);
    bool writeFailed = false;
    const bool read = forEach([&](const auto& row) {
        appendLine(buffer, row);
        ++result.rows;
        if (buffer.size() >= kChunkBytes && !WriteAll(out, buffer, result.error)) {
            writeFailed = true;
            return false;
        }
        return true;
    });
    if (writeFailed) return result;
    if (!read) {
        result.error = reader.ErrorText();
        return result;
    }
    result.ok = WriteAll(out, buffer, result.error);
    return result;
}

}  // namespace

CsvResult ExportReadingsCsv(HistoryReader& reader, const ReadingFilter& filter, QIODevice& out,
                            bool byteOrderMark) {
    return StreamCsv(
        reader, out, byteOrderMark, CsvHeader(),
        [&](auto&& visit) {
            return reader.ForEachReading(filter,
                                         [&](const battery::Reading& r) { return visit(r); });
        },
        [](QByteArray& buffer, const battery::Reading& r) { AppendCsvLine(buffer, r); });
}

CsvResult ExportAlarmsCsv(HistoryReader& reader, qint64 fromMs, qint64 toMs, QIODevice& out,
                          bool byteOrderMark) {
    return StreamCsv(
        reader, out, byteOrderMark, AlarmCsvHeader(),
        [&](auto&& visit) {
            return reader.ForEachAlarm(fromMs, toMs,
                                       [&](const alarms::AlarmEvent& e) { return visit(e); });
        },
        [](QByteArray& buffer, const alarms::AlarmEvent& e) { AppendAlarmCsvLine(buffer, e); });
}

}  // namespace store
