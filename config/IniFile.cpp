#include "config/IniFile.h"

#include <QFile>
#include <QStringDecoder>
#include <algorithm>

namespace config {
namespace {

std::optional<IniFile> Refuse(QString* error, const QString& reason) {
    if (error) *error = reason;
    return std::nullopt;
}

const Setting* FileSetting(SettingTable settings, QStringView key) {
    const auto found = std::find_if(settings.begin(), settings.end(), [&](const Setting& s) {
        return s.valueName && s.place != SettingPlace::CommandLine && key == QLatin1String(s.key);
    });
    return found == settings.end() ? nullptr : &*found;
}

// The setting's key of "KEY.QUALIFIER" when KEY takes qualifiers and QUALIFIER is not empty.
std::optional<QString> QualifiedSetting(SettingTable settings, const QString& key) {
    const qsizetype dot = key.indexOf(u'.');
    if (dot <= 0 || dot == key.size() - 1) return std::nullopt;
    const Setting* setting = FileSetting(settings, QStringView(key).first(dot));
    if (!setting || !setting->qualifierName) return std::nullopt;
    return key.left(dot);
}

// The line's text, or nothing when it is not UTF-8 text: a control character other than a
// tab (a binary file) or bytes that do not decode.
std::optional<QString> DecodeLine(QByteArrayView bytes) {
    if (std::any_of(bytes.begin(), bytes.end(),
                    [](char c) { return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7f; }))
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) return std::nullopt;
    return text;
}

// A ';' or '#' right after a blank: the start of a comment in most INI dialects.
bool HasCommentLikeMark(const QString& value) {
    for (qsizetype i = 1; i < value.size(); ++i)
        if ((value[i] == u';' || value[i] == u'#') && value[i - 1].isSpace()) return true;
    return false;
}

}  // namespace

std::optional<IniFile> IniFile::Read(const QString& path, SettingTable settings, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Refuse(error, QStringLiteral("cannot read the configuration file %1: %2")
                                 .arg(path, file.errorString()));
    const QByteArray text = file.read(kMaxBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return Refuse(error, QStringLiteral("cannot read the configuration file %1: %2")
                                 .arg(path, file.errorString()));
    if (text.size() > kMaxBytes)
        return Refuse(
            error, QStringLiteral("%1 is larger than 1 MiB: not a configuration file").arg(path));
    return Parse(path, text, settings, error);
}

std::optional<IniFile> IniFile::Parse(const QString& path, const QByteArray& text,
                                      SettingTable settings, QString* error) {
    IniFile ini;
    ini.path_ = path;
    QByteArrayView rest(text);
    if (rest.startsWith("\xEF\xBB\xBF")) rest = rest.sliced(3);
    bool inUnknownSection = false;
    for (int number = 1; !rest.isEmpty(); ++number) {
        const qsizetype end = rest.indexOf('\n');
        QByteArrayView bytes = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        if (bytes.endsWith('\r')) bytes.chop(1);
        const QString where = QStringLiteral("%1:%2: ").arg(path).arg(number);

        const std::optional<QString> decoded = DecodeLine(bytes);
        if (!decoded)
            return Refuse(error,
                          QStringLiteral("%1 is not a UTF-8 text file (line %2 holds other bytes)")
                              .arg(path)
                              .arg(number));
        const QString line = decoded->trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#')) continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']'))
                return Refuse(error, where + QStringLiteral("a section name ends with ']'"));
            ini.unknown_.append(where + QStringLiteral("unknown section '%1'").arg(line));
            inUnknownSection = true;
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        const QString key = line.left(std::max<qsizetype>(equals, 0)).trimmed();
        if (equals < 0 || key.isEmpty())
            return Refuse(error,
                          where + QStringLiteral("expected KEY = VALUE, not '%1'").arg(line));
        if (inUnknownSection) continue;  // its section's line said so already
        const std::optional<QString> qualified = QualifiedSetting(settings, key);
        if (!FileSetting(settings, key) && !qualified) {
            ini.unknown_.append(where + QStringLiteral("unknown key '%1'").arg(key));
            continue;
        }
        if (const auto first = ini.values_.find(key); first != ini.values_.end())
            return Refuse(error, where + QStringLiteral("'%1' is set again (first on line %2)")
                                             .arg(key)
                                             .arg(first->second.line));

        QString value = line.mid(equals + 1).trimmed();
        if (value.startsWith(u'"')) {
            if (value.size() < 2 || !value.endsWith(u'"'))
                return Refuse(error, where + QStringLiteral("the value of '%1' opens a double "
                                                            "quote that does not end it")
                                                 .arg(key));
            value = value.mid(1, value.size() - 2);
        } else if (HasCommentLikeMark(value)) {
            return Refuse(error, where + QStringLiteral("the value of '%1' has a ';' or '#' after "
                                                        "a blank, which reads like a comment: put "
                                                        "the value in double quotes to keep it, "
                                                        "or the comment on a line of its own")
                                             .arg(key));
        }
        ini.values_[key] = Entry{value, number};
        if (qualified) ini.qualifiers_[*qualified].append(key.mid(qualified->size() + 1));
    }
    return ini;
}

QString IniFile::Value(const QString& key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? QString() : it->second.value;
}

QStringList IniFile::Qualifiers(const QString& key) const {
    const auto it = qualifiers_.find(key);
    return it == qualifiers_.end() ? QStringList() : it->second;
}

int IniFile::Line(const QString& key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? 0 : it->second.line;
}

}  // namespace config
