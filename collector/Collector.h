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

    bool Start(QString* error);
    // Stops taking messages, writes what is held (trying for up to `deadline` ms while the
    // database is away) and emits finished(true when nothing was left unwritten).
    void ShutDown(int deadlineMs = 10000);

    // Times further ahead of this machine's clock than this are no time a monitor took a
    // reading at: such a row would stand as the latest reading of its battery for years.
    static constexpr qint64 kLargestLeadMs = qint64(24) * 3600 * 1000;

    qsizetype HeldRows() const {
        return static_cast<qsizetype>(readings_.size()) + static_cast<qsizetype>(alarms_.size()) +
               static_cast<qsizetype>(discharges_.size());
    }

signals:
    void Finished(bool everythingWritten);

private:
    void OnMessage(const QByteArray& topic, const QByteArray& payload);
    void Flush();
    bool WriteHeld();
    void PauseBroker(const QString& why);
    void ResumeBroker();
    void Ignore(const QByteArray& topic, const QString& reason);
    void FinishShutDown();

    CollectorOptions options_;
    MqttClient mqtt_;
    PgWriter db_;
    QTimer flushTimer_;
    std::deque<ReceivedReading> readings_;
    std::deque<ReceivedAlarm> alarms_;
    std::vector<DischargeSummary> discharges_;

    bool paused_ = false;
    bool databaseDown_ = false;
    int retryDelayMs_ = 0;
    QElapsedTimer sinceLastAttempt_;
    int subscriptionsConfirmed_ = 0;
    RefusalReport ignored_{QStringLiteral("message ignored"), QStringLiteral("ignored")};
    RefusalReport setAside_{QStringLiteral("row set aside in battery_rejected"),
                            QStringLiteral("set aside")};
    // Rows battery_rejected refused too (a database whose encoding lacks their characters).
    RefusalReport lost_{QStringLiteral("row lost, not even kept in battery_rejected"),
                        QStringLiteral("lost"), QtCriticalMsg};
    bool shuttingDown_ = false;
    QElapsedTimer shutDownClock_;
    int shutDownDeadlineMs_ = 0;
};
