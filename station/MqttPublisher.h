#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "mqtt/MqttClient.h"
#include "station/OutboxFeed.h"
#include "store/Outbox.h"

namespace store {
class HistoryReader;
class HistoryWriter;
}  // namespace store
class Station;

// Home Assistant's MQTT discovery of the station's batteries.
struct DiscoveryOptions {
    QString prefix = QStringLiteral("homeassistant");
    QString version;  // batmon's, shown in Home Assistant's device page

    bool operator==(const DiscoveryOptions&) const = default;
};

struct PublisherOptions {
    MqttEndpoint endpoint;
    QString site;
    QString caFile;
    std::optional<DiscoveryOptions> discovery;  // none: no discovery documents
    // How many messages may be on their way to the broker at once; the rest wait in the store.
    int window = 200;
};

// Publishes what a station records to an MQTT broker from the store's outboxes: every reading
// in the order it was written, QoS 1 and retained, and every alarm event (raised, cleared,
// acknowledged) in order, QoS 1, not retained; each is removed from its outbox once the broker
// has acknowledged it. While the broker is away they stay in the outbox (on disk), so none is
// lost however long it is gone or whether the program restarts meanwhile, and memory stays
// bounded. While connected, the rows of each commit come with the store's commit notice; the
// outbox is read from the file only at start, after a reconnect, and when the broker falls so
// far behind that the waiting rows no longer fit in memory. Announces the station as `online`
// on its status topic, with `offline` as the last will. Lives on the thread that owns the
// writer.
//
// Beside the outboxes' history it keeps state on the broker: retained messages (the devices'
// availability, the batteries' alarm lists, Home Assistant's discovery documents) that are sent
// when they change and all again after every reconnect; only the latest of each topic matters,
// so none waits in the store. With discovery, the documents go out again whenever Home
// Assistant announces itself `online`, and a document of this site that the broker still keeps
// for an entity no longer published is removed (an empty retained message).
class MqttPublisher : public QObject {
    Q_OBJECT
public:
    // Waiting rows kept in memory per outbox; beyond them the file is read.
    static constexpr std::size_t kMemoryRows = 2000;

    MqttPublisher(PublisherOptions options, store::HistoryWriter& writer,
                  const QString& historyFile, QObject* parent = nullptr);
    ~MqttPublisher() override;

    // Starts connecting; false with `error` only for settings that can never connect.
    bool Start(QString* error = nullptr);
    void Stop();

    // Keeps `payload` as the state of `topic`: retained, QoS 1, sent now when it changed and
    // again after every reconnect.
    void SetRetained(const QByteArray& topic, const QByteArray& payload);
    // Sends `payload` once, QoS 1, not retained: now while connected, or at the next connection
    // (messages waiting meanwhile are kept in memory, at most kMemoryRows).
    void PublishOnce(const QByteArray& topic, const QByteArray& payload);
    // The sampling period, which sets how long Home Assistant keeps a reading (three periods).
    void SetSamplingPeriod(int ms);

    bool IsOnline() const { return client_.IsOnline(); }
    // Readings the broker has acknowledged.
    qint64 PublishedCount() const { return acknowledgedReadings_; }
    // Reads of the outboxes from the file so far.
    qint64 OutboxReads() const { return readings_.Reads() + alarms_.Reads(); }
    const PublisherOptions& Options() const { return options_; }

signals:
    void ConnectionChanged(bool online, const QString& reason);

private:
    struct Sent {
        bool reading;
        qint64 seq;
    };

    void OnOutboxCommitted(const store::OutboxBatch& added);
    void OnMessage(const QByteArray& topic, const QByteArray& payload, bool retained);
    void SendState(const QByteArray& topic, const QByteArray& payload);
    void UpdateDiscovery();
    void SendDiscovery();
    void OnOnline();
    // Sends what waits, as far as the window allows.
    void Pump();
    void OnAcknowledged(int messageId);
    void FlushAcknowledged();
    store::HistoryReader* Reader();
    OutboxMessage ReadingMessageOf(const store::OutboxEntry& entry) const;
    OutboxMessage AlarmMessageOf(const store::AlarmOutboxEntry& entry) const;

    PublisherOptions options_;
    store::HistoryWriter& writer_;
    QString historyFile_;
    MqttClient client_;
    std::unique_ptr<store::HistoryReader> reader_;
    OutboxFeed readings_;
    OutboxFeed alarms_;
    std::map<int, Sent> inFlight_;  // message id -> the outbox row it carries
    // Numbers not yet handed to the writer's MarkPublished.
    std::vector<qint64> acknowledgedReadingSeqs_;
    std::vector<qint64> acknowledgedAlarmSeqs_;
    QTimer markTimer_;  // hands acknowledged numbers to the writer in batches
    qint64 acknowledgedReadings_ = 0;
    std::map<QByteArray, QByteArray> retained_;                   // topic -> the state sent
    std::vector<std::pair<QByteArray, QByteArray>> waitingOnce_;  // PublishOnce while offline
    std::vector<QByteArray> discoveryTopics_;  // the documents published, in their order
    int samplingPeriodMs_ = 0;
};

// A publisher of what `station` records: its readings and alarm events through its store's
// outboxes (so the station must have been made with a store and StationOptions::mqttOutbox),
// and its state: each device's availability and each watched battery's active alarms.
// The window and batmond both feed their broker this way. It is not started yet, so that its
// signals can be connected first. Nothing, with `error` set, when the station keeps no store.
std::unique_ptr<MqttPublisher> PublishStation(Station& station, const PublisherOptions& options,
                                              QString* error);
