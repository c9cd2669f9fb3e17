#pragma once

#include <QString>
#include <QStringList>

namespace testsupport {

// What a program printed and how it ended.
struct ProgramRun {
    int exitCode = -1;  // -1 when it crashed or did not end in time
    QString out;
    QString err;
};

// Runs `program` to its end without a display: DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are
// taken out of its environment.
ProgramRun RunWithoutDisplay(const QString& program, const QStringList& arguments);

// The command line every program answers alike: --help prints its usage on standard output and
// exits 0, --version prints "<name> <version>", and an unknown option exits 2 with one line
// that names it.
void ExpectStandardCommandLine(const QString& program, const QString& name);

// That `run` ended with status 2 and one line on standard error containing `cause`.
void ExpectRefusedWithOneLine(const ProgramRun& run, const QString& cause);

}  // namespace testsupport
