// GET /api/v1/readings for one battery over a year at the default period (3,153,600 readings)
// reduced to 1,000 points, through the web server on loopback: the first request (which builds
// the ten-minute digests) and the next ones. Usage: bench_web_readings [requests]

#include <httplib.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/trend/BenchStore.h"
#include "store/Schema.h"
#include "web/EventHub.h"
#include "web/WebServer.h"

namespace {

constexpr qint64 kYearMs = 365LL * 24 * 3600 * 1000;

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
    QString error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
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
        " first %.0f ms (builds the digests), then p50 %.1f ms, max %.1f ms over %d requests\n",
        static_cast<long long>(rows), bytes, first, p50, worst, requests);
    std::printf("RESULT web_readings_year_first_ms %.0f\n", first);
    std::printf("RESULT web_readings_year_ms %.1f\n", worst);
    server.Stop();
    return 0;
}
