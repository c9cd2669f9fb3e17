#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <optional>

#include "config/Setting.h"

namespace config {

// How a program ends before it runs.
struct Exit {
    int status = 0;  // 0 after --help or --version, 2 after a wrong option, value or file
    QString text;    // the help or version text; or the one line that names what is wrong
};

// What reading the command line (and a configuration file) gives a program: its options, or an
// exit.
template <typename Options>
struct Parsed {
    std::optional<Options> options;
    Exit exit;  // when there are no options
};

// batmon's version ("1.0.0"), as --version shows it.
QString ProgramVersion();

// Prints an exit's text: help and version on standard output, an error as one line through the
// log ("batmond: unknown option '--bogus' (see batmond --help)"). Returns the exit's status.
int Finish(const QString& program, const Exit& exit);

// A program's command line on QCommandLineParser, with -h/--help and --version. Parsing needs no
// QCoreApplication, so a window program answers --help before it opens a display.
class CommandLine {
public:
    // `synopsis` follows the program's name in the usage line ("--port PORT [options]");
    // `description` is one paragraph under it.
    CommandLine(QString program, QString synopsis, QString description, SettingTable settings);

    // Reads `arguments` (the program's name first). False when the program stops here; `exit`
    // then says how: after --help or --version, or at an unknown option, a missing value or a
    // stray argument.
    bool Parse(const QStringList& arguments, Exit* exit);

    // Whether `key` is an option of this command line (not a flag of the file only).
    bool HasOption(const char* key) const;
    bool IsSet(const char* key) const;
    QString Value(const char* key) const;  // the last one given
    QStringList Values(const char* key) const;

    const QString& Program() const { return program_; }
    QString HelpText() const;
    QString VersionText() const;

private:
    QString program_;
    QString synopsis_;
    QString description_;
    SettingTable settings_;
    QCommandLineParser parser_;
    QStringList optionKeys_;  // the parser's option names ("data-dir")
};

// The arguments of main() as QCoreApplication::arguments() gives them, before there is one.
QStringList ArgumentsOf(int argc, char** argv);

}  // namespace config
