#include "collector/Collector.h"

#include <QCoreApplication>
#include <QDateTime>

#include "config/Log.h"

namespace {

constexpr int kFirstRetryDelayMs = 250;
constexpr int kLastRetryDelayMs = 5000;

MqttClientOptions ClientOptions(const CollectorOptions& options) {
    MqttClientOptions client;
    client.endpoint = options.broker;
    client.clientId = options.clientId;
    client.cleanSession = false;
    client.caFile = options.caFile;
    client.reconnectDelayFirstSeconds = 1;
    client.reconnectDelayLastSeconds = 10;
    return client;
}

}  // namespace

Collector::Collector(CollectorOptions options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      mqtt_(ClientOptions(options_)),
      db_(options_.postgres) {
    mqtt_.Subscribe(kAllReadingsFilter, 1);
    mqtt_.Subscribe(kAllAlarmsFilter, 1);
    mqtt_.Subscribe(kAllDischargeSummariesFilter, 1);
    connect(&mqtt_, &MqttClient::MessageReceived, this,
            [this](const QByteArray& topic, const QByteArray& payload, bool) {
                OnMessage(topic, payload);
            });
    connect(&mqtt_, &MqttClient::Online, this, [this](bool sessionPresent) {
        subscriptionsConfirmed_ = 0;
        qCInfo(MqttLog).noquote() << QStringLiteral("broker connected (%1)")
                                         .arg(sessionPresent ? QStringLiteral("session kept")
                                                             : QStringLiteral("new session"));
    });
    connect(&mqtt_, &MqttClient::Offline, this, [this](const QString& reason) {
        if (!paused_ && !shuttingDown_)
            qCWarning(MqttLog).noquote()
                << QStringLiteral("broker connection lost: %1").arg(reason);
    });
    connect(&mqtt_, &MqttClient::Subscribed, this, [this] {
        if (++subscriptionsConfirmed_ == 3) {
            qCInfo(MqttLog).noquote() << QStringLiteral("subscribed to %1, %2 and %3")
                                             .arg(QString::fromUtf8(kAllReadingsFilter),
                                                  QString::fromUtf8(kAllAlarmsFilter),
                                                  QString::fromUtf8(kAllDischargeSummariesFilter));
        }
    });
    flushTimer_.setInterval(options_.flushIntervalMs);
    connect(&flushTimer_, &QTimer::timeout, this, &Collector::Flush);
}

Collector::~Collector() = default;

bool Collector::Start(QString* error) {
    if (db_.Open()) {
        qCInfo(CollectorLog).noquote() << QStringLiteral("database connected");
    } else {
        // Nothing is taken from the broker until there is somewhere to write it.
        qCCritical(CollectorLog).noquote()
            << QStringLiteral("database unavailable: %1").arg(db_.LastError());
        databaseDown_ = true;
        paused_ = true;
        retryDelayMs_ = kFirstRetryDelayMs;
        sinceLastAttempt_.start();
    }
    if (!paused_ && !mqtt_.Start(error)) return false;
    flushTimer_.start();
    return true;
}

void Collector::OnMessage(const QByteArray& topic, const QByteArray& payload) {
    QString error;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const auto ahead = [&](qint64 timeMs) {
        if (timeMs - nowMs <= kLargestLeadMs) return false;
        error = QStringLiteral("time %1 is more than a day ahead of this machine's clock")
                    .arg(FormatUtcTime(timeMs));
        return true;
    };
    // A device's availability and discharge state share the readings' filter; the database
    // keeps none of it (a discharge is kept once it ends, from its summary).
    if (IsDeviceStatusTopic(topic) || IsDischargeStateTopic(topic)) return;
    if (topic.endsWith("/discharge/summary")) {
        if (auto summary = ParseDischargeSummary(topic, payload, &error);
            summary && !ahead(*summary->record.endMs)) {
            discharges_.push_back(std::move(*summary));
        } else {
            Ignore(topic, error);
        }
    } else if (topic.endsWith("/alarm")) {
        if (auto alarm = ParseAlarm(topic, payload, &error); alarm && !ahead(alarm->timeMs)) {
            alarms_.push_back({std::move(*alarm), nowMs});
        } else {
            Ignore(topic, error);
        }
    } else if (auto reading = ParseReading(topic, payload, &error);
               reading && !ahead(reading->timeMs)) {
        readings_.push_back({std::move(*reading), nowMs});
    } else {
        Ignore(topic, error);
    }
    if (HeldRows() >= options_.batchRows && !databaseDown_) Flush();
    if (HeldRows() >= options_.maxHeldRows && !paused_) {
        PauseBroker(QStringLiteral("%1 rows held, the database is behind").arg(HeldRows()));
    }
}

void Collector::Ignore(const QByteArray& topic, const QString& reason) {
    // A topic is up to 64 KiB long: the line keeps enough of it to tell the sender.
    constexpr qsizetype kTopicShown = 200;
    QString shown = QString::fromUtf8(topic.left(kTopicShown));
    if (topic.size() > kTopicShown) shown += QStringLiteral("…");
    ignored_.Add(shown + QStringLiteral(": ") + reason);
}

void Collector::Flush() {
    if (databaseDown_ && sinceLastAttempt_.elapsed() < retryDelayMs_) {
        if (shuttingDown_) FinishShutDown();
        return;
    }
    if (HeldRows() > 0 || databaseDown_) {
        const bool wasDown = databaseDown_;
        if (WriteHeld()) {
            if (wasDown)
                qCInfo(CollectorLog).noquote()
                    << QStringLiteral("database back: everything held is written");
            databaseDown_ = false;
        } else {
            if (!databaseDown_) {
                qCCritical(CollectorLog).noquote()
                    << QStringLiteral("database unavailable: %1").arg(db_.LastError());
                retryDelayMs_ = kFirstRetryDelayMs;
            } else {
                retryDelayMs_ = std::min(retryDelayMs_ * 2, kLastRetryDelayMs);
            }
            databaseDown_ = true;
            sinceLastAttempt_.start();
            if (!paused_) {
                PauseBroker(
                    QStringLiteral("holding %1 rows until the database is back").arg(HeldRows()));
            }
        }
    }
    if (shuttingDown_) {
        FinishShutDown();
    } else if (paused_ && !databaseDown_ && HeldRows() < options_.maxHeldRows / 2) {
        ResumeBroker();
    }
}

bool Collector::WriteHeld() {
    if (HeldRows() == 0) return db_.Open();
    if (!discharges_.empty()) {
        std::vector<PgWriter::Rejected> refused;
        if (!db_.WriteDischarges(discharges_, &refused)) return false;
        for (const PgWriter::Rejected& row : refused)
            lost_.Add(QStringLiteral("%1: %2").arg(QString::fromUtf8(row.topic), row.reason));
        discharges_.clear();
    }
    while (HeldRows() > 0) {
        const auto readingCount = std::min<size_t>(readings_.size(), size_t(options_.batchRows));
        const auto alarmCount = std::min<size_t>(alarms_.size(), size_t(options_.batchRows));
        const std::vector<ReceivedReading> readings(readings_.begin(),
                                                    readings_.begin() + qsizetype(readingCount));
        const std::vector<ReceivedAlarm> alarms(alarms_.begin(),
                                                alarms_.begin() + qsizetype(alarmCount));
        PgWriter::Result written;
        if (!db_.Write(readings, alarms, &written)) return false;
        for (const PgWriter::Rejected& row : written.rejected) {
            const QString line =
                QStringLiteral("%1: %2").arg(QString::fromUtf8(row.topic), row.reason);
            (row.kept ? setAside_ : lost_).Add(line);
        }
        readings_.erase(readings_.begin(), readings_.begin() + qsizetype(readingCount));
        alarms_.erase(alarms_.begin(), alarms_.begin() + qsizetype(alarmCount));
    }
    return true;
}

void Collector::PauseBroker(const QString& why) {
    qCWarning(CollectorLog).noquote()
        << QStringLiteral("leaving the broker, which keeps new messages meanwhile: %1").arg(why);
    paused_ = true;
    mqtt_.Stop();
}

void Collector::ResumeBroker() {
    qCInfo(CollectorLog).noquote() << QStringLiteral("taking messages from the broker again");
    paused_ = false;
    QString error;
    if (!mqtt_.Start(&error))
        qCCritical(MqttLog).noquote() << QStringLiteral("broker client failed: %1").arg(error);
}

void Collector::ShutDown(int deadlineMs) {
    if (shuttingDown_) return;
    qCInfo(CollectorLog).noquote() << QStringLiteral("shutting down");
    shuttingDown_ = true;
    shutDownDeadlineMs_ = deadlineMs;
    shutDownClock_.start();
    mqtt_.Stop();
    // Messages the network thread handed over before it stopped are still queued for this
    // thread; the next flush runs after them.
    QMetaObject::invokeMethod(this, &Collector::Flush, Qt::QueuedConnection);
}

void Collector::FinishShutDown() {
    if (HeldRows() > 0 && shutDownClock_.elapsed() < shutDownDeadlineMs_) return;
    flushTimer_.stop();
    shuttingDown_ = false;
    for (RefusalReport* report : {&ignored_, &setAside_, &lost_}) report->Flush();
    if (HeldRows() > 0) {
        qCCritical(CollectorLog).noquote()
            << QStringLiteral("%1 rows could not be written before exit").arg(HeldRows());
    }
    db_.Close();
    emit Finished(HeldRows() == 0);
}
