// The history writer seen from the receive path and from the disk: time per Append on the
// calling thread, bulk throughput, and bytes on disk per reading.

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "bench/store/BenchReadings.h"
#include "store/HistoryWriter.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();

    // Append while the writer commits: one answer at a time, as the receive path hands them over.
    {
        QTemporaryDir dir;
        store::HistoryWriter writer(dir.path());
        writer.Start();
        const auto readings = CycleReadings(140'000, 10'000, now);
        std::vector<double> micros;
        micros.reserve(readings.size());
        for (std::size_t i = 0; i < readings.size(); ++i) {
            const auto t0 = Clock::now();
            writer.Append(readings[i]);
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            if (i % 14 == 13) QCoreApplication::processEvents();
        }
        writer.Flush();
        std::printf("Append of one reading: median %.2f us, p99 %.2f us, max %.1f us (%zu calls)\n",
                    Percentile(micros, 0.5), Percentile(micros, 0.99),
                    *std::max_element(micros.begin(), micros.end()), micros.size());
        std::printf("RESULT store_append_us_p99 %.2f\n", Percentile(micros, 0.99));
    }

    // Bulk: a million readings handed over in blocks, until all are committed; then the file.
    {
        QTemporaryDir dir;
        const auto readings = CycleReadings(1'000'000, 10'000, now);
        store::HistoryWriter writer(dir.path());
        writer.Start();
        writer.Flush();  // file created, so only the readings are timed
        const auto t0 = Clock::now();
        constexpr std::size_t kBlock = 1400;
        for (std::size_t i = 0; i < readings.size(); i += kBlock) {
            writer.Append(std::span(readings).subspan(i, std::min(kBlock, readings.size() - i)));
        }
        writer.Flush();
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        writer.Shutdown();
        const double perSecond = static_cast<double>(readings.size()) / seconds;
        const qint64 bytes =
            QFileInfo(writer.FilePath()).size() + QFileInfo(writer.FilePath() + "-wal").size();
        const double perReading = static_cast<double>(bytes) / static_cast<double>(readings.size());
        std::printf("Bulk: %zu readings in %.2f s = %.0f readings/s\n", readings.size(), seconds,
                    perSecond);
        std::printf(
            "File: %lld bytes = %.1f bytes per reading (key included); a year at 10 s "
            "for 14 batteries: %.0f MB\n",
            static_cast<long long>(bytes), perReading, perReading * 14 * 6 * 60 * 24 * 365 / 1e6);
        std::printf("RESULT store_bulk_readings_per_s %.0f\n", perSecond);
        std::printf("RESULT store_bytes_per_reading %.1f\n", perReading);
    }
    return 0;
}
