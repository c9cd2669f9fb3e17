#include <QCommandLineParser>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <cstdio>
#include <optional>

#include "app/TForm1.h"
#include "store/DataDir.h"
#include "widgets/ErrorDisplay.h"
#include "widgets/EventDispatcher.h"
#include "widgets/Fonts.h"

namespace {

std::optional<int> NonNegative(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= 0 ? std::optional<int>(value) : std::nullopt;
}

// The program's options; nullopt (after a message on standard error) when one is wrong.
std::optional<StationOptions> ParseOptions(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("无线蓄电池监控软件"));
    parser.addHelpOption();
    const QCommandLineOption dataDir(QStringLiteral("data-dir"),
                                     QStringLiteral("Folder of the history store."),
                                     QStringLiteral("DIR"));
    const QCommandLineOption restoreHours(
        QStringLiteral("restore-hours"),
        QStringLiteral("Hours of stored readings shown at start (0: none)."), QStringLiteral("N"),
        QStringLiteral("24"));
    const QCommandLineOption keepDays(
        QStringLiteral("keep-days"),
        QStringLiteral("Delete readings older than N days, once a day (0: keep all)."),
        QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({dataDir, restoreHours, keepDays});
    parser.process(app);

    StationOptions options;
    options.dataDir = store::ResolveDataDir(parser.value(dataDir));
    const std::optional<int> hours = NonNegative(parser.value(restoreHours));
    const std::optional<int> days = NonNegative(parser.value(keepDays));
    if (!hours || !days) {
        std::fprintf(stderr, "batmon: --restore-hours and --keep-days take a whole number >= 0\n");
        return std::nullopt;
    }
    options.restoreHours = *hours;
    options.keepDays = *days;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    UseQtEventDispatcher();
    GuardedApplication app(argc, argv);
    const std::optional<StationOptions> options = ParseOptions(app);
    if (!options) return 2;
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/batmon.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorvane.batmon"));
    InstallFontSubstitutions();

    TForm1 Form1(*options);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    Form1.move(screen.center() - Form1.rect().center());
    Form1.show();
    return app.exec();
}
