// batmon-demo: runs the real window without a display against a simulated bus. It opens the
// given port, starts monitoring, lets one full poll cycle complete, saves a picture of the
// window and prints a few of the readings shown. Usage: batmon-demo <port> <png-path>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/Controls.h"
#include "app/TForm1.h"
#include "engine/MonitorSession.h"
#include "widgets/EventDispatcher.h"
#include "widgets/Fonts.h"
#include "widgets/MessageBox.h"
#include "widgets/StringGrid.h"

using namespace std::chrono_literals;

namespace {

// Lets events flow until `done` holds or `timeout` passes; returns done().
bool RunEventLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!done() && !deadline.hasExpired()) {
        QEventLoop slice;
        QTimer::singleShot(5ms, &slice, &QEventLoop::quit);
        slice.exec();
    }
    return done();
}

template <typename T>
T* Control(const TForm1& form, const char* name) {
    return form.findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

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

    // The demo keeps its history store in a folder of its own, never in the user's.
    QTemporaryDir dataDir;
    StationOptions options;
    options.dataDir = dataDir.path();
    TForm1 form(options);
    form.show();
    auto* pages = Control<PageControl>(form, "RzPageControl1");
    auto* liveTable = Control<StringGrid>(form, "StringGrid");
    pages->setCurrentIndex(0);
    Control<QComboBox>(form, "Com_combox")->setEditText(QString::fromLocal8Bit(argv[1]));
    Control<QPushButton>(form, "Button1")->click();
    MonitorSession& session = form.Session();
    // A serial device server (tcp://HOST:PORT) connects in the background.
    RunEventLoopUntil([&] { return !session.PortOpening(); }, 5s);
    if (!session.PortOpen()) {
        std::fprintf(stderr, "could not open %s\n", argv[1]);
        return 1;
    }
    Control<QPushButton>(form, "RzBitBtn7")->click();
    const PollState& poll = session.Poll();
    const bool cycleDone =
        RunEventLoopUntil([&] { return poll.SentStep == 16 && !poll.PollCycleActive; }, 8s) ||
        RunEventLoopUntil([&] { return poll.SentStep == 16; }, 1s);
    // 0xA1's block is shown after its hold, once it is in the store; then the repaint.
    RunEventLoopUntil([&] { return !liveTable->Cells(2, 6).isEmpty(); }, 3s);
    RunEventLoopUntil([] { return false; }, 100ms);

    const QString png = QString::fromLocal8Bit(argv[2]);
    if (!form.grab().save(png)) {
        std::fprintf(stderr, "could not write %s\n", argv[2]);
        return 1;
    }
    std::printf("Window picture: %s\n", qPrintable(png));
    // The other pages beside it, for a look at every page: <name>-page1.png .. -page3.png.
    for (int page = 1; page < pages->count(); ++page) {
        pages->setCurrentIndex(page);
        QString pagePng = png;
        pagePng.insert(pagePng.lastIndexOf(QLatin1Char('.')), QStringLiteral("-page%1").arg(page));
        form.grab().save(pagePng);
    }
    pages->setCurrentIndex(0);
    std::printf("%s\n",
                cycleDone ? "One poll cycle completed." : "The poll cycle did not complete.");
    for (int row = 0; row <= 6; ++row) {
        QStringList cells;
        for (int col = 0; col < liveTable->ColCount(); ++col) cells << liveTable->Cells(col, row);
        std::printf("  %s\n", qPrintable(cells.join(QStringLiteral(" | "))));
    }
    form.close();
    return cycleDone ? 0 : 1;
}
