#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <memory>

#include "collector/CollectorOptions.h"
#include "collector/PgWriter.h"
#include "collector/RefusalReport.h"
#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttClient.h"

// Takes readings and alarm events from the broker and writes them into PostgreSQL in batches.
//
// The broker hands a message over once; libmosquitto acknowledges it as it arrives. From then on
// the message lives only here, so rows leave memory only after their batch is committed. When
// the database is unreachable, or the rows held reach the limit, the collector leaves the broker
// (its session stays, so the broker keeps every further message) and comes back once everything
// held is written.
//
// A message that is no reading or alarm event a monitor sends (see ParseReading, ParseAlarm), or
// whose time lies more than a day ahead of this machine's clock, is counted and logged, never
// written. A row the database refuses is set aside into battery_rejected, counted and logged;
// the rest of its batch is written and the collector stays with the broker.
class Collector : public QObject {
    Q_OBJECT
public:
    explicit Collector(CollectorOptions options, QObject* parent = nullptr);
    ~Collector() override;

    bool start(QString* error);
    // Stops taking messages, writes what is held (trying for up to `deadline` ms while the
    // database is away) and emits finished(true when nothing was left unwritten).
    void shutDown(int deadlineMs = 10000);

    // Times further ahead of this machine's clock than this are no time a monitor took a
    // reading at: such a row would stand as the latest reading of its battery for years.
    static constexpr qint64 kLargestLeadMs = qint64(24) * 3600 * 1000;

    qsizetype heldRows() const {
        return static_cast<qsizetype>(m_readings.size()) + static_cast<qsizetype>(m_alarms.size());
    }

signals:
    void finished(bool everythingWritten);

private:
    void onMessage(const QByteArray& topic, const QByteArray& payload);
    void flush();
    bool writeHeld();
    void pauseBroker(const QString& why);
    void resumeBroker();
    void ignore(const QByteArray& topic, const QString& reason);
    void finishShutDown();

    CollectorOptions m_options;
    MqttClient m_mqtt;
    PgWriter m_db;
    QTimer m_flushTimer;
    std::deque<ReceivedReading> m_readings;
    std::deque<ReceivedAlarm> m_alarms;

    bool m_paused = false;
    bool m_databaseDown = false;
    int m_retryDelayMs = 0;
    QElapsedTimer m_sinceLastAttempt;
    int m_subscriptionsConfirmed = 0;
    RefusalReport ignored_{QStringLiteral("message ignored"), QStringLiteral("ignored")};
    RefusalReport setAside_{QStringLiteral("row set aside in battery_rejected"),
                            QStringLiteral("set aside")};
    // Rows battery_rejected refused too (a database whose encoding lacks their characters).
    RefusalReport lost_{QStringLiteral("row lost, not even kept in battery_rejected"),
                        QStringLiteral("lost"), QtCriticalMsg};
    bool m_shuttingDown = false;
    QElapsedTimer m_shutDownClock;
    int m_shutDownDeadlineMs = 0;
};
