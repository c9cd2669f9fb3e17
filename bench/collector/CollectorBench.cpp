// Collector figures on a real broker and a real PostgreSQL cluster (fsync on):
//   throughput: readings queued on the broker for the collector's kept session while it was
//               away, then drained into battery_readings; readings per second.
//   delay:      readings published at a steady rate while the collector runs; the time from
//               publishing to the row being inserted (a column the bench adds to the table
//               with clock_timestamp() as its default), median and p99.
// Usage: bench_collector [READINGS] [RATE_PER_S] [SECONDS]
// Prints RESULT lines for bench/run.

#include <libpq-fe.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttClient.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/ChildProcess.h"
#include "tests/servers/MosquittoServer.h"
#include "tests/servers/PostgresCluster.h"

using namespace std::chrono_literals;
using testsupport::RunEventLoopFor;
using testsupport::WaitUntil;

namespace {

qint64 QueryNumber(const QString& conninfo, const char* sql) {
    PGconn* conn = PQconnectdb(conninfo.toUtf8().constData());
    PGresult* result = PQexec(conn, sql);
    qint64 value = -1;
    if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1) {
        value = QByteArray(PQgetvalue(result, 0, 0)).toLongLong();
    }
    PQclear(result);
    PQfinish(conn);
    return value;
}

bool Execute(const QString& conninfo, const char* sql) {
    PGconn* conn = PQconnectdb(conninfo.toUtf8().constData());
    PGresult* result = PQexec(conn, sql);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) std::fprintf(stderr, "%s\n", PQerrorMessage(conn));
    PQclear(result);
    PQfinish(conn);
    return ok;
}

std::vector<double> QueryColumn(const QString& conninfo, const char* sql) {
    PGconn* conn = PQconnectdb(conninfo.toUtf8().constData());
    PGresult* result = PQexec(conn, sql);
    std::vector<double> values;
    for (int row = 0; PQresultStatus(result) == PGRES_TUPLES_OK && row < PQntuples(result); ++row) {
        values.push_back(QByteArray(PQgetvalue(result, row, 0)).toDouble());
    }
    PQclear(result);
    PQfinish(conn);
    return values;
}

// Publishes QoS 1 readings and keeps count of the broker's acknowledgements.
class Publisher {
public:
    explicit Publisher(const QString& url) : m_client(Options(url)) {
        QObject::connect(&m_client, &MqttClient::acknowledged, [this](int) { ++m_acknowledged; });
        m_client.start();
    }
    bool waitOnline() {
        return WaitUntil([&] { return m_client.isOnline(); }, 10s);
    }
    void publish(const ReadingMessage& r) {
        if (m_client.publish(ReadingTopic(r.site, r.device, r.battery), ReadingPayload(r)) > 0) {
            ++m_sent;
        }
    }
    bool waitAcknowledged(qint64 behind = 0) {
        return WaitUntil([&] { return m_sent - m_acknowledged <= behind; }, 120s, 1ms);
    }
    qint64 sent() const { return m_sent; }

private:
    static MqttClientOptions Options(const QString& url) {
        MqttClientOptions options;
        options.endpoint = *ParseMqttUrl(url);
        return options;
    }
    MqttClient m_client;
    qint64 m_sent = 0;
    qint64 m_acknowledged = 0;
};

ReadingMessage Reading(int room, int slot, qint64 timeMs) {
    return {QStringLiteral("room-%1").arg(room),
            slot < 8 ? 0xA0 : 0xA1,
            slot % 8,
            timeMs,
            12.5,
            21.5,
            0x11};
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int readings = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 10;

    testservers::MosquittoServer broker;
    testservers::PostgresCluster database{QStringList{}};  // fsync on, as deployed
    QString error;
    if (!broker.start(&error) || !database.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QString conninfo = database.conninfo();
    // The delay column: the moment each row was inserted, by the database's own clock.
    Execute(conninfo,
            "CREATE TABLE battery_readings (site text NOT NULL, device smallint NOT NULL, "
            "battery smallint NOT NULL, time timestamptz NOT NULL, voltage real, "
            "temperature real, status smallint, written timestamptz DEFAULT clock_timestamp(), "
            "PRIMARY KEY (site, device, battery, time))");

    QTemporaryDir logs;
    testservers::ChildProcess collector;
    const QStringList arguments{QStringLiteral("--mqtt"), broker.url(),
                                QStringLiteral("--postgres"), conninfo};
    const QString log = logs.filePath(QStringLiteral("collector.log"));
    auto rowCount = [&] { return QueryNumber(conninfo, "SELECT count(*) FROM battery_readings"); };

    // The collector's session must exist on the broker before readings are queued for it.
    auto logHas = [&](const char* text, int count) {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) && file.readAll().count(text) >= count;
    };
    collector.start(QStringLiteral(BATMON_COLLECTOR_PATH), arguments, log);
    if (!WaitUntil([&] { return logHas("subscribed to", 1); }, 30s, 10ms)) return 1;
    Publisher publisher(broker.url());
    if (!publisher.waitOnline()) return 1;
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    publisher.publish(Reading(0, 0, start - 1000));
    publisher.waitAcknowledged();
    if (!WaitUntil([&] { return rowCount() == 1; }, 30s, 20ms)) {
        QFile file(log);
        file.open(QIODevice::ReadOnly);
        std::fprintf(stderr, "the collector wrote nothing:\n%s\n", file.readAll().constData());
        return 1;
    }
    collector.stop(SIGTERM);

    // Throughput: 600 rooms' readings queued on the broker, then drained.
    for (int i = 0; i < readings; ++i) {
        publisher.publish(Reading(i % 600, (i / 600) % 16, start + i / 9600));
        if (i % 1000 == 999) publisher.waitAcknowledged(200);
    }
    publisher.waitAcknowledged();
    QElapsedTimer drain;
    drain.start();
    collector.start(QStringLiteral(BATMON_COLLECTOR_PATH), arguments, log);
    const qint64 expected = 1 + readings;
    WaitUntil([&] { return rowCount() >= expected; }, 300s, 20ms);
    const double drainSeconds = double(drain.elapsed()) / 1000.0;
    const qint64 stored = rowCount();
    std::printf("throughput: %lld of %lld readings in %.2f s (collector start included)\n", stored,
                expected, drainSeconds);
    std::printf("RESULT collector_readings_per_s %.0f\n", double(stored - 1) / drainSeconds);

    // Delay: a steady stream, each reading stamped with the moment it is published.
    Execute(conninfo, "TRUNCATE battery_readings");
    const qint64 total = qint64(rate) * seconds;
    QElapsedTimer clock;
    clock.start();
    qint64 published = 0;
    int room = 0;
    while (published < total) {
        const qint64 due = std::min(total, clock.elapsed() * rate / 1000 + 1);
        for (; published < due; ++published, ++room) {
            // 9 600 keys in turn: one key comes back only every few seconds, so stamps in
            // whole milliseconds never collide.
            publisher.publish(
                Reading(room % 600, (room / 600) % 16, QDateTime::currentMSecsSinceEpoch()));
        }
        RunEventLoopFor(1ms);
    }
    WaitUntil([&] { return rowCount() >= total; }, 60s, 20ms);
    const auto delays = QueryColumn(
        conninfo, "SELECT extract(epoch FROM written - time) * 1000 FROM battery_readings");
    std::printf("delay: %zu readings at %d/s\n", delays.size(), rate);
    std::printf("RESULT collector_delay_ms_median %.1f\n", Percentile(delays, 0.5));
    std::printf("RESULT collector_delay_ms_p99 %.1f\n", Percentile(delays, 0.99));
    collector.stop(SIGTERM);
    return 0;
}
