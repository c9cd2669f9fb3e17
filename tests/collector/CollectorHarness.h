#pragma once

#include <QString>
#include <QTemporaryDir>
#include <ostream>
#include <set>
#include <vector>

#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttClient.h"
#include "tests/servers/ChildProcess.h"

// Readable failure messages for row comparisons.
void PrintTo(const ReadingMessage& reading, std::ostream* out);
void PrintTo(const AlarmMessage& alarm, std::ostream* out);

namespace collectortest {

// The batmon-collector program as a child process with its log in a temporary folder.
class CollectorProcess {
public:
    CollectorProcess(QString brokerUrl, QString conninfo, QStringList extraArguments = {});
    QString folder() const { return m_dir.path(); }
    bool start();
    // SIGTERM; the exit status as waitpid() reports it.
    int terminate();
    void kill();
    pid_t pid() const { return m_process.pid(); }
    QString log() const;
    // Waits until the log has gained `count` lines containing `text` in all.
    bool waitForLog(const QString& text, int count = 1);

private:
    QTemporaryDir m_dir;
    QString m_brokerUrl;
    QString m_conninfo;
    QStringList m_extraArguments;
    testservers::ChildProcess m_process;
};

// A publisher that sends QoS 1 messages and waits until the broker has acknowledged each.
class Publisher {
public:
    explicit Publisher(const QString& brokerUrl);
    bool waitOnline();
    bool waitOffline();
    bool publish(const std::vector<ReadingMessage>& readings);
    bool publish(const std::vector<AlarmMessage>& alarms);
    // Messages as they are, (topic, payload), not retained.
    bool publish(const std::vector<std::pair<QByteArray, QByteArray>>& messages);

private:
    bool waitAcknowledged();
    MqttClient m_client;
    std::set<int> m_pending;
};

// `count` readings of one site, spread over both devices' batteries, one per millisecond.
std::vector<ReadingMessage> MakeReadings(const QString& site, int count, qint64 firstMs);

// The rows of battery_readings / battery_alarms, ordered by site, device, battery and time; an
// empty list when the table is not there yet.
std::vector<ReadingMessage> StoredReadings(const QString& conninfo);
std::vector<AlarmMessage> StoredAlarms(const QString& conninfo);
qint64 StoredReadingCount(const QString& conninfo);
// Each row of a query's result as its fields joined by spaces.
std::vector<QString> QueryLines(const QString& conninfo, const char* sql);
// Runs a statement that returns no rows; false with the server's message in `error`.
bool Execute(const QString& conninfo, const char* sql, QString* error = nullptr);

// Sorted as StoredReadings() returns them.
std::vector<ReadingMessage> Sorted(std::vector<ReadingMessage> readings);

}  // namespace collectortest
