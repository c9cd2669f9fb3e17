// GET /api/v1/readings for one battery over a year at the default period (3,153,600 readings)
// reduced to 1,000 points, through the web server on loopback: the time the server takes at
// start to build the ten-minute digests, then the first request and the next ones.
// Usage: bench_web_readings [requests]

#include <httplib.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/trend/BenchStore.h"
#include "store/Schema.h"
#include "tests/common/WaitFor.h"
#include "web/EventHub.h"
#include "web/WebServer.h"

namespace {

constexpr qint64 kYearMs = 365LL * 24 * 3600 * 1000;

std::atomic<bool> digestsBuilt{false};

// The server says in its log when the digests are built.
void WatchLog(QtMsgType, const QMessageLogContext&, const QString& message) {
    if (message.contains(QStringLiteral("trend digests built"))) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        digestsBuilt = true;
    }
}

// A year of one battery's readings (A0-83) at the default period.
qint64 FillYear(const QString& path) {
    return benchstore::FillStore(path, benchstore::kStartMs, benchstore::kStartMs + kYearMs, {},
                                 battery::BatteryId{0xA0, 3});
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    const qint64 rows = FillYear(path);
    web::RoomBoard board;
    web::WebServerOptions options;
    options.listen = *web::ParseHttpAddress(QStringLiteral("127.0.0.1:0"));
    options.historyPath = path;
    web::WebServer server(options, board, std::make_shared<web::EventHub>(), {});
    qInstallMessageHandler(WatchLog);
    QString error;
    const auto starting = std::chrono::steady_clock::now();
    if (!server.Start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    if (!testsupport::WaitUntil([] { return digestsBuilt.load(); }, std::chrono::minutes(5))) {
        std::fprintf(stderr, "the digests were not built within 5 minutes\n");
        return 1;
    }
    const double buildS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - starting).count();
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(60, 0);
    const std::string query = "/api/v1/readings?device=A0&battery=3&points=1000&from=" +
                              std::to_string(benchstore::kStartMs) +
                              "&to=" + std::to_string(benchstore::kStartMs + kYearMs);
    std::vector<double> ms;
    std::size_t bytes = 0;
    for (int i = 0; i <= requests; ++i) {
        const auto started = std::chrono::steady_clock::now();
        const auto answer = client.Get(query);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
                .count());
        if (!answer || answer->status != 200) {
            std::fprintf(stderr, "request failed\n");
            return 1;
        }
        bytes = answer->body.size();
    }
    const double first = ms.front();
    ms.erase(ms.begin());
    std::sort(ms.begin(), ms.end());
    const double p50 = ms[ms.size() / 2];
    const double worst = ms.back();
    std::printf(
        "GET /api/v1/readings, one battery over a year (%lld readings) to 1000 points, %zu bytes:"
        " digests built at start in %.1f s, then the first request %.1f ms, the next p50 %.1f"
        " ms, max %.1f ms over %d requests\n",
        static_cast<long long>(rows), bytes, buildS, first, p50, worst, requests);
    std::printf("RESULT web_readings_digests_built_s %.1f\n", buildS);
    std::printf("RESULT web_readings_year_first_ms %.1f\n", first);
    std::printf("RESULT web_readings_year_ms %.1f\n", worst);
    server.Stop();
    return 0;
}
