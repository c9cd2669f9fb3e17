// Query and reduction of thirty days of readings of all fourteen batteries (3.6 million rows)
// for a plot 1157 pixels wide, through the read-only trend connection. Prints the median and
// the worst of several runs, and the same for one day.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/trend/BenchStore.h"
#include "trend/TrendQuery.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::vector<double> TimeReads(store::RangeReader& db, const TrendRequest& request, int runs,
                              TrendSummaries* summaries = nullptr) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const TrendResult result = ReadTrend(db, request, {}, summaries);
        ms.push_back(timer.nsecsElapsed() / 1e6);
        if (!result.error.isEmpty()) std::printf("error: %s\n", qPrintable(result.error));
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    QElapsedTimer fill;
    fill.start();
    const qint64 rows = benchstore::FillStore(path);
    std::printf("store: %lld rows written in %.1f s\n", rows, fill.elapsed() / 1000.0);

    {
        store::RangeReader db(path);
        TrendRequest request;
        request.batteries.assign(battery::WatchedBatteries().begin(),
                                 battery::WatchedBatteries().end());
        request.columns = 1157;
        request.gapMs = 3 * benchstore::kPeriodMs;
        request.range = {benchstore::kStartMs, benchstore::kEndMs};
        TimeReads(db, request, 1);  // warm the page cache
        const auto everyRow = TimeReads(db, request, 5);
        std::printf("30 days, 14 batteries, 1157 columns, every row: median %.1f ms\n",
                    Median(everyRow));
        TrendSummaries summaries;
        const auto cold = TimeReads(db, request, 1, &summaries);
        std::printf("  with digests, first read (builds them): %.1f ms\n", cold.front());
        const auto all = TimeReads(db, request, 9, &summaries);
        std::printf(
            "  with digests, later reads: median %.1f ms, max %.1f ms; digests hold %.2f MB\n",
            Median(all), *std::max_element(all.begin(), all.end()), summaries.HeldBytes() / 1e6);
        request.range = {benchstore::kEndMs - 7 * 24 * 3600 * 1000LL, benchstore::kEndMs};
        const auto week = TimeReads(db, request, 5, &summaries);
        std::printf("7 days (columns narrower than a digest: every row): median %.1f ms\n",
                    Median(week));
        request.range = {benchstore::kEndMs - 24 * 3600 * 1000, benchstore::kEndMs};
        const auto day = TimeReads(db, request, 7, &summaries);
        std::printf("1 day: median %.1f ms\n", Median(day));
        std::printf("RESULT trend_query_full_ms %.1f\n", Median(all));
        std::printf("RESULT trend_query_full_cold_ms %.1f\n", cold.front());
        std::printf("RESULT trend_query_week_ms %.1f\n", Median(week));
        std::printf("RESULT trend_query_day_ms %.1f\n", Median(day));
        std::printf("RESULT trend_digest_mb %.2f\n", summaries.HeldBytes() / 1e6);
    }
    return 0;
}
