#include "config/SettingValues.h"

namespace config {

bool SettingValues::FromCommandLine(const char* key) const { return line_ && line_->IsSet(key); }

bool SettingValues::Has(const char* key) const {
    return FromCommandLine(key) || (file_ && file_->Contains(QLatin1String(key)));
}

QString SettingValues::Value(const char* key) const {
    if (FromCommandLine(key)) return line_->Value(key).trimmed();
    return file_ ? file_->Value(QLatin1String(key)) : QString();
}

QStringList SettingValues::Qualifiers(const char* key) const {
    return file_ ? file_->Qualifiers(QLatin1String(key)) : QStringList();
}

QString SettingValues::Label(const char* key) const {
    if (FromCommandLine(key)) return OptionName(key);
    if (!file_ || !file_->Contains(QLatin1String(key)))
        return line_ && line_->HasOption(key) ? OptionName(key) : QString::fromLatin1(key);
    return QStringLiteral("%1:%2: %3")
        .arg(file_->Path())
        .arg(file_->Line(QLatin1String(key)))
        .arg(QLatin1String(key));
}

std::optional<bool> SettingValues::Switch(const char* key, bool fallback) const {
    const QString value = Value(key).toLower();
    if (value.isEmpty()) return fallback;
    for (const char* yes : {"true", "yes", "on", "1"})
        if (value == QLatin1String(yes)) return true;
    for (const char* no : {"false", "no", "off", "0"})
        if (value == QLatin1String(no)) return false;
    return std::nullopt;
}

}  // namespace config
