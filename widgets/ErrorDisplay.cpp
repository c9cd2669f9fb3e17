#include "widgets/ErrorDisplay.h"

#include <exception>

#include "widgets/MessageBox.h"

GuardedApplication::GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {
    messagebox::SetDefaultCaption(ApplicationTitleFromPath(applicationFilePath()));
}

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
    return DeliverShowingErrors([&] { return QApplication::notify(receiver, event); });
}

void ShowUnhandledError(const QString& text) {
    messagebox::Show(nullptr, text, {}, messagebox::Kind::Error);
}

QString CurrentExceptionText() {
    try {
        throw;
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
        return QStringLiteral("Unknown exception");
    }
}

QString ApplicationTitleFromPath(const QString& programPath) {
    // Both separators count, so a path written the Windows way gives the same title.
    const qsizetype lastSeparator =
        qMax(programPath.lastIndexOf(u'/'), programPath.lastIndexOf(u'\\'));
    QString name = programPath.mid(lastSeparator + 1);
    const qsizetype firstDot = name.indexOf(u'.');
    if (firstDot >= 0) name.truncate(firstDot);
    return name.left(1) + name.mid(1).toLower();
}
