// batmon-demo: runs the real window without a display against a simulated bus. It opens the
// given port, starts monitoring, lets one full poll cycle complete, saves a picture of the
// window and prints a few of the readings shown. Usage: batmon-demo <port> <png-path>
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <cstdio>

#include "Controls.h"
#include "EventDispatcher.h"
#include "EventLoopWait.h"
#include "Fonts.h"
#include "MessageBox.h"
#include "SerialComm.h"
#include "StringGrid.h"
#include "TForm1.h"

using namespace std::chrono_literals;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <port> <png-path>\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    UseQtEventDispatcher();
    QApplication app(argc, argv);
    InstallFontSubstitutions();
    messagebox::SetHook([](const QString& text, const QString& caption) {
        std::fprintf(stderr, "[%s] %s\n", qPrintable(caption), qPrintable(text));
    });

    TForm1 form;
    form.show();
    form.RzPageControl1->setCurrentIndex(0);
    form.Com_combox->setEditText(QString::fromLocal8Bit(argv[1]));
    form.Button1->click();
    if (form.Comm1->ComHandle() == 0) {
        std::fprintf(stderr, "could not open %s\n", argv[1]);
        return 1;
    }
    form.RzBitBtn7->click();
    const bool cycleDone =
        RunEventLoopUntil([&] { return form.Poll.SentStep == 16 && !form.Poll.PollCycleActive; },
                          8s) ||
        RunEventLoopUntil([&] { return form.Poll.SentStep == 16; }, 1s);
    RunEventLoopFor(300ms);  // let the last answers and the repaint through

    const QString png = QString::fromLocal8Bit(argv[2]);
    if (!form.grab().save(png)) {
        std::fprintf(stderr, "could not write %s\n", argv[2]);
        return 1;
    }
    std::printf("Window picture: %s\n", qPrintable(png));
    // The other pages beside it, for a look at every page: <name>-page1.png .. -page3.png.
    for (int page = 1; page < form.RzPageControl1->count(); ++page) {
        form.RzPageControl1->setCurrentIndex(page);
        QString pagePng = png;
        pagePng.insert(pagePng.lastIndexOf(QLatin1Char('.')), QStringLiteral("-page%1").arg(page));
        form.grab().save(pagePng);
    }
    form.RzPageControl1->setCurrentIndex(0);
    std::printf("%s\n",
                cycleDone ? "One poll cycle completed." : "The poll cycle did not complete.");
    for (int row = 0; row <= 6; ++row) {
        QStringList cells;
        for (int col = 0; col < form.StringGrid->ColCount(); ++col)
            cells << form.StringGrid->Cells(col, row);
        std::printf("  %s\n", qPrintable(cells.join(QStringLiteral(" | "))));
    }
    form.close();
    return cycleDone ? 0 : 1;
}
