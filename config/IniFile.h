#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>

#include "config/Setting.h"

namespace config {

// A configuration file read strictly: every value exactly as written, or a refusal naming the
// file, the line and the reason.
//
//   key = value       blanks around the key and the value are dropped
//   ; comment         a line whose first character is ';' or '#' (after blanks) is a comment
//   key = "  value "  double quotes around a value keep the blanks inside them; they are removed
//
// Everything else on a line belongs to the value: ';', '#' and ',' inside a value are kept
// ("pa;ss", "room 1, east"). A ';' or '#' that follows a blank in an unquoted value looks like a
// comment and is refused, so that neither reading is taken silently; quote the value to keep it.
// There are no sections and no escapes. A key set twice, a line without '=', an unclosed quote,
// a file that is not UTF-8 text (a BOM is allowed) or is larger than 1 MiB are refused.
//
// Keys and sections the program does not know are not refusals: each gives one line in
// Unknown(), and the program decides whether to go on without them.
class IniFile {
public:
    static constexpr qint64 kMaxBytes = qint64{1024} * 1024;

    // Reads `path` with the keys of `settings` that may be given in a file. Nothing, with one
    // line in `error`, when the file cannot be read or would not be read as written.
    static std::optional<IniFile> Read(const QString& path, SettingTable settings, QString* error);
    // The same over `text`, which `path` only names in messages.
    static std::optional<IniFile> Parse(const QString& path, const QByteArray& text,
                                        SettingTable settings, QString* error);

    const QString& Path() const { return path_; }
    bool Contains(const QString& key) const { return values_.count(key) != 0; }
    // The value as written; empty when the key is absent.
    QString Value(const QString& key) const;
    // The line the key is on; 0 when it is absent.
    int Line(const QString& key) const;
    // The qualifiers given for a setting that takes them, as written, in the order of the file:
    // "A1-82" for a line "alarm_high_temperature_warning.A1-82 = 42". Each one's value and line
    // are those of "KEY.QUALIFIER".
    QStringList Qualifiers(const QString& key) const;
    // "FILE:LINE: unknown key 'keepdays'", "FILE:LINE: unknown section '[batmond]'".
    const QStringList& Unknown() const { return unknown_; }

private:
    struct Entry {
        QString value;
        int line = 0;
    };

    QString path_;
    std::map<QString, Entry> values_;
    std::map<QString, QStringList> qualifiers_;  // by the setting's key
    QStringList unknown_;
};

}  // namespace config
