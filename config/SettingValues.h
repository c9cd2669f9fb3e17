#pragma once

#include <QString>
#include <optional>

#include "config/CommandLine.h"
#include "config/IniFile.h"

namespace config {

// The settings a program runs with: the command line's value where one was given, else the
// configuration file's. Blanks around a command-line value are dropped, as around a file's.
// Either may be missing.
class SettingValues {
public:
    SettingValues(const CommandLine* line, const IniFile* file) : line_(line), file_(file) {}

    bool Has(const char* key) const;
    QString Value(const char* key) const;  // empty when neither gives it
    // The qualifiers the file gives `key` (IniFile::Qualifiers); their values and labels are
    // those of "key.QUALIFIER".
    QStringList Qualifiers(const char* key) const;
    // Names where the value came from, to start a message about it: "--period" from the command
    // line, "/etc/batmon/batmond.conf:3: period" from the file.
    QString Label(const char* key) const;

    // The value of a yes-or-no setting: true/false, yes/no, on/off or 1/0 in any case; `fallback`
    // when neither gives it, nothing when it is none of these.
    std::optional<bool> Switch(const char* key, bool fallback) const;

private:
    bool FromCommandLine(const char* key) const;

    const CommandLine* line_;
    const IniFile* file_;
};

}  // namespace config
