#include "tests/collector/CollectorHarness.h"

#include <libpq-fe.h>
#include <signal.h>

#include <QFile>
#include <algorithm>

#include "tests/common/WaitFor.h"

void PrintTo(const ReadingMessage& r, std::ostream* out) {
    *out << r.site.toStdString() << ' ' << std::hex << r.device << std::dec << '/' << r.battery
         << " @" << r.timeMs << " V=" << r.voltage << " T=" << r.temperature << " S=" << r.status;
}

void PrintTo(const AlarmMessage& a, std::ostream* out) {
    *out << a.site.toStdString() << ' ' << std::hex << a.device << std::dec << '/' << a.battery
         << " @" << a.timeMs << ' ' << a.kind.toStdString() << ' ' << a.state.toStdString()
         << " value=" << (a.value ? std::to_string(*a.value) : "null")
         << " user=" << a.user.toStdString() << " level=" << a.level.toStdString();
}

namespace collectortest {

using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

MqttClientOptions PublisherOptions(const QString& url) {
    MqttClientOptions options;
    options.endpoint = *ParseMqttUrl(url);
    return options;
}

struct QueryResult {
    PGconn* conn = nullptr;
    PGresult* result = nullptr;
    ~QueryResult() {
        PQclear(result);
        PQfinish(conn);
    }
    int rows() const { return PQresultStatus(result) == PGRES_TUPLES_OK ? PQntuples(result) : 0; }
    QString text(int row, int column) const {
        return QString::fromUtf8(PQgetvalue(result, row, column));
    }
    bool isNull(int row, int column) const { return PQgetisnull(result, row, column) != 0; }
};

void Query(QueryResult& q, const QString& conninfo, const char* sql) {
    q.conn = PQconnectdb(conninfo.toUtf8().constData());
    q.result = PQexec(q.conn, sql);
}

auto Key(const ReadingMessage& r) { return std::tie(r.site, r.device, r.battery, r.timeMs); }

}  // namespace

CollectorProcess::CollectorProcess(QString brokerUrl, QString conninfo, QStringList extraArguments)
    : m_brokerUrl(std::move(brokerUrl)),
      m_conninfo(std::move(conninfo)),
      m_extraArguments(std::move(extraArguments)) {}

bool CollectorProcess::start() {
    return m_process.start(
        QStringLiteral(BATMON_COLLECTOR_PATH),
        QStringList{QStringLiteral("--mqtt"), m_brokerUrl, QStringLiteral("--postgres"), m_conninfo,
                    QStringLiteral("--client-id"), QStringLiteral("collector-under-test")} +
            m_extraArguments,
        m_dir.filePath(QStringLiteral("collector.log")));
}

int CollectorProcess::terminate() {
    return m_process.stop(SIGTERM, std::chrono::seconds(20 * kSlowdown));
}

void CollectorProcess::kill() { m_process.stop(SIGKILL); }

QString CollectorProcess::log() const {
    QFile file(m_dir.filePath(QStringLiteral("collector.log")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

bool CollectorProcess::waitForLog(const QString& text, int count) {
    return WaitUntil([&] { return log().count(text) >= count; },
                     std::chrono::seconds(20 * kSlowdown));
}

Publisher::Publisher(const QString& brokerUrl) : m_client(PublisherOptions(brokerUrl)) {
    QObject::connect(&m_client, &MqttClient::acknowledged, [this](int id) { m_pending.erase(id); });
    m_client.start();
}

bool Publisher::waitOnline() {
    return WaitUntil([&] { return m_client.isOnline(); }, std::chrono::seconds(10 * kSlowdown));
}

bool Publisher::waitOffline() {
    return WaitUntil([&] { return !m_client.isOnline(); }, std::chrono::seconds(10 * kSlowdown));
}

bool Publisher::waitAcknowledged() {
    return WaitUntil([&] { return m_pending.empty(); }, std::chrono::seconds(20 * kSlowdown));
}

bool Publisher::publish(const std::vector<ReadingMessage>& readings) {
    for (const ReadingMessage& r : readings) {
        const int id =
            m_client.publish(ReadingTopic(r.site, r.device, r.battery), ReadingPayload(r), 1, true);
        if (id < 0) return false;
        m_pending.insert(id);
        // Keeps the number in flight within what libmosquitto's message ids can tell apart.
        if (m_pending.size() > 10000 && !waitAcknowledged()) return false;
    }
    return waitAcknowledged();
}

bool Publisher::publish(const std::vector<AlarmMessage>& alarms) {
    for (const AlarmMessage& a : alarms) {
        const int id = m_client.publish(AlarmTopic(a.site), AlarmPayload(a), 1, false);
        if (id < 0) return false;
        m_pending.insert(id);
    }
    return waitAcknowledged();
}

bool Publisher::publish(const std::vector<std::pair<QByteArray, QByteArray>>& messages) {
    for (const auto& [topic, payload] : messages) {
        const int id = m_client.publish(topic, payload, 1, false);
        if (id < 0) return false;
        m_pending.insert(id);
    }
    return waitAcknowledged();
}

std::vector<ReadingMessage> MakeReadings(const QString& site, int count, qint64 firstMs) {
    static const int kStatuses[] = {0x11, 0x11, 0x71, 0x11, 0x72, 0x00, 0x11, 0x73, 0x5A};
    std::vector<ReadingMessage> readings;
    for (int i = 0; i < count; ++i) {
        const int slot = i % 16;
        readings.push_back({site, slot < 8 ? 0xA0 : 0xA1, slot % 8, firstMs + i,
                            10.0 + (i % 50) / 10.0, 15.5 + (i % 30) / 2.0, kStatuses[i % 9]});
    }
    return readings;
}

std::vector<ReadingMessage> StoredReadings(const QString& conninfo) {
    QueryResult q;
    Query(q, conninfo,
          "SELECT site, device, battery, (extract(epoch FROM time) * 1000)::bigint, voltage, "
          "temperature, status FROM battery_readings ORDER BY site, device, battery, time");
    std::vector<ReadingMessage> rows;
    for (int row = 0; row < q.rows(); ++row) {
        rows.push_back({q.text(row, 0), q.text(row, 1).toInt(), q.text(row, 2).toInt(),
                        q.text(row, 3).toLongLong(), q.text(row, 4).toDouble(),
                        q.text(row, 5).toDouble(), q.text(row, 6).toInt()});
    }
    return rows;
}

std::vector<AlarmMessage> StoredAlarms(const QString& conninfo) {
    QueryResult q;
    Query(q, conninfo,
          "SELECT site, device, battery, (extract(epoch FROM time) * 1000)::bigint, kind, state, "
          "value, acknowledged_by, level FROM battery_alarms "
          "ORDER BY site, device, battery, time, state");
    std::vector<AlarmMessage> rows;
    for (int row = 0; row < q.rows(); ++row) {
        AlarmMessage alarm{q.text(row, 0),         q.text(row, 1).toInt(),
                           q.text(row, 2).toInt(), q.text(row, 3).toLongLong(),
                           q.text(row, 4),         q.text(row, 5),
                           std::nullopt,           q.text(row, 7)};
        if (!q.isNull(row, 6)) alarm.value = q.text(row, 6).toDouble();
        if (!q.isNull(row, 8)) alarm.level = q.text(row, 8);
        rows.push_back(alarm);
    }
    return rows;
}

qint64 StoredReadingCount(const QString& conninfo) {
    QueryResult q;
    Query(q, conninfo, "SELECT count(*) FROM battery_readings");
    return q.rows() == 1 ? q.text(0, 0).toLongLong() : -1;
}

std::vector<QString> QueryLines(const QString& conninfo, const char* sql) {
    QueryResult q;
    Query(q, conninfo, sql);
    std::vector<QString> lines;
    for (int row = 0; row < q.rows(); ++row) {
        QStringList fields;
        for (int column = 0; column < PQnfields(q.result); ++column) fields << q.text(row, column);
        lines.push_back(fields.join(u' '));
    }
    return lines;
}

bool Execute(const QString& conninfo, const char* sql, QString* error) {
    QueryResult q;
    Query(q, conninfo, sql);
    if (PQresultStatus(q.result) == PGRES_COMMAND_OK) return true;
    if (error) *error = QString::fromUtf8(PQerrorMessage(q.conn));
    return false;
}

std::vector<ReadingMessage> Sorted(std::vector<ReadingMessage> readings) {
    std::sort(readings.begin(), readings.end(),
              [](const ReadingMessage& a, const ReadingMessage& b) { return Key(a) < Key(b); });
    return readings;
}

}  // namespace collectortest
