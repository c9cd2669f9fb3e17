// Test helper: appends readings without pause and prints "committed N" after every commit,
// where the first N readings of its deterministic sequence (see StoreTestSupport) are in the
// file. Arguments: DATA_DIR.

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#include "battery/PollRoute.h"
#include "store/HistoryWriter.h"

namespace {

constexpr qint64 kBaseMs = 1'700'000'000'000;

battery::Reading SequenceReading(qint64 i) {
    const int step = static_cast<int>(i % 14) + 1;
    return battery::MakeReading(battery::BatteryOfStep(step), kBaseMs + i / 14 * 100, 0x11,
                                static_cast<std::uint8_t>(i % 200),
                                static_cast<std::uint16_t>(i % 1000));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) return 2;
    store::HistoryWriter writer(QString::fromLocal8Bit(argv[1]));
    QObject::connect(&writer, &store::HistoryWriter::Committed, [](qint64 total) {
        std::printf("committed %lld\n", static_cast<long long>(total));
        std::fflush(stdout);
    });
    writer.Start();
    qint64 next = 0;
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        for (int k = 0; k < 14; ++k) writer.Append(SequenceReading(next++));
    });
    feed.start(1);
    return app.exec();
}
