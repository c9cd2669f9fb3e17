#include "tests/common/ProgramRun.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include "tests/common/WaitFor.h"

namespace testsupport {

ProgramRun RunWithoutDisplay(const QString& program, const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(30000 * kSlowdown)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

void ExpectStandardCommandLine(const QString& program, const QString& name) {
    const ProgramRun help = RunWithoutDisplay(program, {QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
    EXPECT_TRUE(help.out.startsWith(QStringLiteral("usage: %1 ").arg(name)))
        << help.out.toStdString();
    EXPECT_TRUE(help.out.contains(QStringLiteral("--version"))) << help.out.toStdString();
    EXPECT_TRUE(help.err.isEmpty()) << help.err.toStdString();

    const ProgramRun version = RunWithoutDisplay(program, {QStringLiteral("--version")});
    EXPECT_EQ(version.exitCode, 0) << version.err.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^%1 [0-9]+\\.[0-9]+\\.[0-9]+\\n$").arg(name))
                    .match(version.out)
                    .hasMatch())
        << version.out.toStdString();

    ExpectRefusedWithOneLine(RunWithoutDisplay(program, {QStringLiteral("--bogus")}),
                             QStringLiteral("%1: unknown option '--bogus'").arg(name));
    ExpectRefusedWithOneLine(RunWithoutDisplay(program, {QStringLiteral("stray")}),
                             QStringLiteral("unexpected argument 'stray'"));
}

void ExpectRefusedWithOneLine(const ProgramRun& run, const QString& cause) {
    EXPECT_EQ(run.exitCode, 2) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(cause)) << run.err.toStdString();
    EXPECT_TRUE(run.err.endsWith(u'\n') && run.err.count(u'\n') == 1) << run.err.toStdString();
}

}  // namespace testsupport
