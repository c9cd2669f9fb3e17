// Draws the trend page over a simulated week of readings of all fourteen batteries (with an
// outage and a few abnormal readings) and saves it as a PNG: the picture in docs/.
// Usage: trend_page_picture OUT.png
#include <QApplication>
#include <QDateTime>
#include <QFont>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <cstdio>

#include "bench/trend/BenchStore.h"
#include "tests/common/WaitFor.h"
#include "trend/TrendPage.h"
#include "trend/TrendPlot.h"
#include "widgets/Fonts.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    InstallFontSubstitutions();
    QApplication app(argc, argv);
    app.setFont(QFont(QStringLiteral("MS Sans Serif"), 9));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    const qint64 week = 7 * 24 * 3600'000LL;
    const qint64 end = benchstore::kStartMs + week;
    benchstore::FillStore(path, benchstore::kStartMs, end,
                          {end - 3 * 24 * 3600'000LL, end - 3 * 24 * 3600'000LL + 5 * 3600'000LL});

    TrendPage page(path);
    page.SetClock([end] { return end; });
    page.resize(1048, 609 - 22);
    page.show();
    page.SetCheckedBatteries({{0xA0, 0}, {0xA0, 5}, {0xA1, 0}, {0xA1, 2}, {0xA1, 5}});
    testsupport::WaitUntil(
        [&] { return !page.Plot()->Busy() && !page.Plot()->PlottedBatteries().empty(); },
        std::chrono::seconds(20));
    page.findChild<QPushButton*>(QStringLiteral("trendRange7d"))->click();
    testsupport::RunEventLoopFor(std::chrono::milliseconds(100));
    testsupport::WaitUntil([&] { return !page.Plot()->Busy(); }, std::chrono::seconds(20));
    testsupport::RunEventLoopFor(std::chrono::milliseconds(100));
    if (!page.grab().save(QString::fromLocal8Bit(argv[1]))) return 1;
    std::printf("saved %s\n", argv[1]);
    return 0;
}
