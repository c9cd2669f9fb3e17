#pragma once

#include <QString>
#include <optional>
#include <span>

namespace config {

// Where a setting may be given.
enum class SettingPlace {
    Both,         // on the command line or in the INI file; the command line wins
    CommandLine,  // only on the command line
    File,         // only in the INI file: secrets, which every user could read in `ps`
};

// One setting of a program. Its INI key is `key`; its command-line option is the key with '-'
// for '_' ("data_dir": --data-dir), or -k for a one-letter key. A setting without `valueName`
// is a flag of the command line. A setting with a `qualifierName` may also be given in the file
// once per thing it names, as `key.QUALIFIER` ("alarm_high_temperature_warning.A1-82"); the
// program judges the qualifiers.
struct Setting {
    const char* key;
    const char* valueName;  // shown in the help (--port PORT); nullptr for a flag
    const char* help;
    SettingPlace place = SettingPlace::Both;
    const char* qualifierName = nullptr;  // shown in the help (key[.BATTERY])
};

// A program's settings, the one table its command line and its INI file are read with.
using SettingTable = std::span<const Setting>;

// "data-dir" for "data_dir": the option's name without its dashes.
QString OptionKey(const char* key);
// "--data-dir" for "data_dir", "-o" for "o".
QString OptionName(const char* key);

// Why the file a setting names cannot be read ("/x/ca.crt does not exist"), or nothing.
std::optional<QString> ReadableFileProblem(const QString& path);

}  // namespace config
