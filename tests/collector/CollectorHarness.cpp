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
    int Rows() const { return PQresultStatus(result) == PGRES_TUPLES_OK ? PQntuples(result) : 0; }
    QString Text(int row, int column) const {
        return QString::fromUtf8(PQgetvalue(result, row, column));
    }
    bool IsNull(int row, int column) const { return PQgetisnull(result, row, column) != 0; }
};

void Query(QueryResult& q, const QString& conninfo, const char* sql) {
    q.conn = PQconnectdb(conninfo.toUtf8().constData());
    q.result = PQexec(q.conn, sql);
}

auto Key(const ReadingMessage& r) { return std::tie(r.site, r.device, r.battery, r.timeMs); }

}  // namespace

CollectorProcess::CollectorProcess(QString brokerUrl, QString conninfo, QStringList extraArguments)
    : brokerUrl_(std::move(brokerUrl)),
      conninfo_(std::move(conninfo)),
      extraArguments_(std::move(extraArguments)) {}

bool CollectorProcess::Start() {
    return process_.Start(
        QStringLiteral(BATMON_COLLECTOR_PATH),
        QStringList{QStringLiteral("--mqtt"), brokerUrl_, QStringLiteral("--postgres"), conninfo_,
                    QStringLiteral("--client-id"), QStringLiteral("collector-under-test")} +
            extraArguments_,
        dir_.filePath(QStringLiteral("collector.log")));
}

int CollectorProcess::Terminate() {
    return process_.Stop(SIGTERM, std::chrono::seconds(20 * kSlowdown));
}

void CollectorProcess::Kill() { process_.Stop(SIGKILL); }

QString CollectorProcess::Log() const {
    QFile file(dir_.filePath(QStringLiteral("collector.log")));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

bool CollectorProcess::WaitForLog(const QString& text, int count) {
    return WaitUntil([&] { return Log().count(text) >= count; },
                     std::chrono::seconds(20 * kSlowdown));
}

Publisher::Publisher(const QString& brokerUrl) : client_(PublisherOptions(brokerUrl)) {
    QObject::connect(&client_, &MqttClient::Acknowledged, [this](int id) { pending_.erase(id); });
    client_.Start();
}

bool Publisher::WaitOnline() {
    return WaitUntil([&] { return client_.IsOnline(); }, std::chrono::seconds(10 * kSlowdown));
}

bool Publisher::WaitOffline() {
    return WaitUntil([&] { return !client_.IsOnline(); }, std::chrono::seconds(10 * kSlowdown));
}

bool Publisher::WaitAcknowledged() {
    return WaitUntil([&] { return pending_.empty(); }, std::chrono::seconds(20 * kSlowdown));
}

bool Publisher::Publish(const std::vector<ReadingMessage>& readings) {
    for (const ReadingMessage& r : readings) {
        const int id =
            client_.Publish(ReadingTopic(r.site, r.device, r.battery), ReadingPayload(r), 1, true);
        if (id < 0) return false;
        pending_.insert(id);
        // Keeps the number in flight within what libmosquitto's message ids can tell apart.
        if (pending_.size() > 10000 && !WaitAcknowledged()) return false;
    }
    return WaitAcknowledged();
}

bool Publisher::Publish(const std::vector<AlarmMessage>& alarms) {
    for (const AlarmMessage& a : alarms) {
        const int id = client_.Publish(AlarmTopic(a.site), AlarmPayload(a), 1, false);
        if (id < 0) return false;
        pending_.insert(id);
    }
    return WaitAcknowledged();
}

bool Publisher::Publish(const std::vector<std::pair<QByteArray, QByteArray>>& messages) {
    for (const auto& [topic, payload] : messages) {
        const int id = client_.Publish(topic, payload, 1, false);
        if (id < 0) return false;
        pending_.insert(id);
    }
    return WaitAcknowledged();
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
    for (int row = 0; row < q.Rows(); ++row) {
        rows.push_back({q.Text(row, 0), q.Text(row, 1).toInt(), q.Text(row, 2).toInt(),
                        q.Text(row, 3).toLongLong(), q.Text(row, 4).toDouble(),
                        q.Text(row, 5).toDouble(), q.Text(row, 6).toInt()});
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
    for (int row = 0; row < q.Rows(); ++row) {
        AlarmMessage alarm{q.Text(row, 0),         q.Text(row, 1).toInt(),
                           q.Text(row, 2).toInt(), q.Text(row, 3).toLongLong(),
                           q.Text(row, 4),         q.Text(row, 5),
                           std::nullopt,           q.Text(row, 7)};
        if (!q.IsNull(row, 6)) alarm.value = q.Text(row, 6).toDouble();
        if (!q.IsNull(row, 8)) alarm.level = q.Text(row, 8);
        rows.push_back(alarm);
    }
    return rows;
}

qint64 StoredReadingCount(const QString& conninfo) {
    QueryResult q;
    Query(q, conninfo, "SELECT count(*) FROM battery_readings");
    return q.Rows() == 1 ? q.Text(0, 0).toLongLong() : -1;
}

std::vector<QString> QueryLines(const QString& conninfo, const char* sql) {
    QueryResult q;
    Query(q, conninfo, sql);
    std::vector<QString> lines;
    for (int row = 0; row < q.Rows(); ++row) {
        QStringList fields;
        for (int column = 0; column < PQnfields(q.result); ++column) fields << q.Text(row, column);
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
