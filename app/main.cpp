#include <QGuiApplication>
#include <QIcon>
#include <QScreen>

#include "app/TForm1.h"
#include "widgets/ErrorDisplay.h"
#include "widgets/EventDispatcher.h"
#include "widgets/Fonts.h"

int main(int argc, char** argv) {
    UseQtEventDispatcher();
    GuardedApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/batmon.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.quorvane.batmon"));
    InstallFontSubstitutions();

    TForm1 Form1;
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    Form1.move(screen.center() - Form1.rect().center());
    Form1.show();
    return app.exec();
}
