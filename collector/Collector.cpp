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
      m_options(std::move(options)),
      m_mqtt(ClientOptions(m_options)),
      m_db(m_options.postgres) {
    m_mqtt.subscribe(kAllReadingsFilter, 1);
    m_mqtt.subscribe(kAllAlarmsFilter, 1);
    connect(&m_mqtt, &MqttClient::messageReceived, this,
            [this](const QByteArray& topic, const QByteArray& payload, bool) {
                onMessage(topic, payload);
            });
    connect(&m_mqtt, &MqttClient::online, this, [this](bool sessionPresent) {
        m_subscriptionsConfirmed = 0;
        qCInfo(MqttLog).noquote() << QStringLiteral("broker connected (%1)")
                                         .arg(sessionPresent ? QStringLiteral("session kept")
                                                             : QStringLiteral("new session"));
    });
    connect(&m_mqtt, &MqttClient::offline, this, [this](const QString& reason) {
        if (!m_paused && !m_shuttingDown)
            qCWarning(MqttLog).noquote()
                << QStringLiteral("broker connection lost: %1").arg(reason);
    });
    connect(&m_mqtt, &MqttClient::subscribed, this, [this] {
        if (++m_subscriptionsConfirmed == 2) {
            qCInfo(MqttLog).noquote() << QStringLiteral("subscribed to %1 and %2")
                                             .arg(QString::fromUtf8(kAllReadingsFilter),
                                                  QString::fromUtf8(kAllAlarmsFilter));
        }
    });
    m_flushTimer.setInterval(m_options.flushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &Collector::flush);
}

Collector::~Collector() = default;

bool Collector::start(QString* error) {
    if (m_db.open()) {
        qCInfo(CollectorLog).noquote() << QStringLiteral("database connected");
    } else {
        // Nothing is taken from the broker until there is somewhere to write it.
        qCCritical(CollectorLog).noquote()
            << QStringLiteral("database unavailable: %1").arg(m_db.lastError());
        m_databaseDown = true;
        m_paused = true;
        m_retryDelayMs = kFirstRetryDelayMs;
        m_sinceLastAttempt.start();
    }
    if (!m_paused && !m_mqtt.start(error)) return false;
    m_flushTimer.start();
    return true;
}

void Collector::onMessage(const QByteArray& topic, const QByteArray& payload) {
    QString error;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const auto ahead = [&](qint64 timeMs) {
        if (timeMs - nowMs <= kLargestLeadMs) return false;
        error = QStringLiteral("time %1 is more than a day ahead of this machine's clock")
                    .arg(FormatUtcTime(timeMs));
        return true;
    };
    // A device's availability shares the readings' filter; the database keeps none of it.
    if (IsDeviceStatusTopic(topic)) return;
    if (topic.endsWith("/alarm")) {
        if (auto alarm = ParseAlarm(topic, payload, &error); alarm && !ahead(alarm->timeMs)) {
            m_alarms.push_back({std::move(*alarm), nowMs});
        } else {
            ignore(topic, error);
        }
    } else if (auto reading = ParseReading(topic, payload, &error);
               reading && !ahead(reading->timeMs)) {
        m_readings.push_back({std::move(*reading), nowMs});
    } else {
        ignore(topic, error);
    }
    if (heldRows() >= m_options.batchRows && !m_databaseDown) flush();
    if (heldRows() >= m_options.maxHeldRows && !m_paused) {
        pauseBroker(QStringLiteral("%1 rows held, the database is behind").arg(heldRows()));
    }
}

void Collector::ignore(const QByteArray& topic, const QString& reason) {
    // A topic is up to 64 KiB long: the line keeps enough of it to tell the sender.
    constexpr qsizetype kTopicShown = 200;
    QString shown = QString::fromUtf8(topic.left(kTopicShown));
    if (topic.size() > kTopicShown) shown += QStringLiteral("…");
    ignored_.Add(shown + QStringLiteral(": ") + reason);
}

void Collector::flush() {
    if (m_databaseDown && m_sinceLastAttempt.elapsed() < m_retryDelayMs) {
        if (m_shuttingDown) finishShutDown();
        return;
    }
    if (heldRows() > 0 || m_databaseDown) {
        const bool wasDown = m_databaseDown;
        if (writeHeld()) {
            if (wasDown)
                qCInfo(CollectorLog).noquote()
                    << QStringLiteral("database back: everything held is written");
            m_databaseDown = false;
        } else {
            if (!m_databaseDown) {
                qCCritical(CollectorLog).noquote()
                    << QStringLiteral("database unavailable: %1").arg(m_db.lastError());
                m_retryDelayMs = kFirstRetryDelayMs;
            } else {
                m_retryDelayMs = std::min(m_retryDelayMs * 2, kLastRetryDelayMs);
            }
            m_databaseDown = true;
            m_sinceLastAttempt.start();
            if (!m_paused) {
                pauseBroker(
                    QStringLiteral("holding %1 rows until the database is back").arg(heldRows()));
            }
        }
    }
    if (m_shuttingDown) {
        finishShutDown();
    } else if (m_paused && !m_databaseDown && heldRows() < m_options.maxHeldRows / 2) {
        resumeBroker();
    }
}

bool Collector::writeHeld() {
    if (heldRows() == 0) return m_db.open();
    while (heldRows() > 0) {
        const auto readingCount = std::min<size_t>(m_readings.size(), size_t(m_options.batchRows));
        const auto alarmCount = std::min<size_t>(m_alarms.size(), size_t(m_options.batchRows));
        const std::vector<ReceivedReading> readings(m_readings.begin(),
                                                    m_readings.begin() + qsizetype(readingCount));
        const std::vector<ReceivedAlarm> alarms(m_alarms.begin(),
                                                m_alarms.begin() + qsizetype(alarmCount));
        PgWriter::Result written;
        if (!m_db.write(readings, alarms, &written)) return false;
        for (const PgWriter::Rejected& row : written.rejected) {
            const QString line =
                QStringLiteral("%1: %2").arg(QString::fromUtf8(row.topic), row.reason);
            (row.kept ? setAside_ : lost_).Add(line);
        }
        m_readings.erase(m_readings.begin(), m_readings.begin() + qsizetype(readingCount));
        m_alarms.erase(m_alarms.begin(), m_alarms.begin() + qsizetype(alarmCount));
    }
    return true;
}

void Collector::pauseBroker(const QString& why) {
    qCWarning(CollectorLog).noquote()
        << QStringLiteral("leaving the broker, which keeps new messages meanwhile: %1").arg(why);
    m_paused = true;
    m_mqtt.stop();
}

void Collector::resumeBroker() {
    qCInfo(CollectorLog).noquote() << QStringLiteral("taking messages from the broker again");
    m_paused = false;
    QString error;
    if (!m_mqtt.start(&error))
        qCCritical(MqttLog).noquote() << QStringLiteral("broker client failed: %1").arg(error);
}

void Collector::shutDown(int deadlineMs) {
    if (m_shuttingDown) return;
    qCInfo(CollectorLog).noquote() << QStringLiteral("shutting down");
    m_shuttingDown = true;
    m_shutDownDeadlineMs = deadlineMs;
    m_shutDownClock.start();
    m_mqtt.stop();
    // Messages the network thread handed over before it stopped are still queued for this
    // thread; the next flush runs after them.
    QMetaObject::invokeMethod(this, &Collector::flush, Qt::QueuedConnection);
}

void Collector::finishShutDown() {
    if (heldRows() > 0 && m_shutDownClock.elapsed() < m_shutDownDeadlineMs) return;
    m_flushTimer.stop();
    m_shuttingDown = false;
    for (RefusalReport* report : {&ignored_, &setAside_, &lost_}) report->Flush();
    if (heldRows() > 0) {
        qCCritical(CollectorLog).noquote()
            << QStringLiteral("%1 rows could not be written before exit").arg(heldRows());
    }
    m_db.close();
    emit finished(heldRows() == 0);
}
