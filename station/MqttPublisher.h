#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "battery/Reading.h"
#include "mqtt/MqttClient.h"

namespace store {
class HistoryReader;
class HistoryWriter;
}  // namespace store
class Station;

struct PublisherOptions {
    MqttEndpoint endpoint;
    QString site;
    QString caFile;
    // How many readings may be on their way to the broker at once; the rest wait in the store.
    int window = 200;
};

// Publishes what a station records to an MQTT broker: every reading from the store's outbox,
// in the order it was written, QoS 1 and retained, and removes it from the outbox once the
// broker has acknowledged it. While the broker is away readings stay in the outbox (on disk),
// so none is lost however long it is gone, and memory stays bounded by the window. Announces
// the station as `online` on its status topic, with `offline` as the last will. Alarm events
// go out at once, QoS 1, not retained. Lives on the thread that owns the writer.
class MqttPublisher : public QObject {
    Q_OBJECT
public:
    MqttPublisher(PublisherOptions options, store::HistoryWriter& writer,
                  const QString& historyFile, QObject* parent = nullptr);
    ~MqttPublisher() override;

    // Starts connecting; false with `error` only for settings that can never connect.
    bool Start(QString* error = nullptr);
    void Stop();

    void PublishAlarm(const alarms::AlarmEvent& event);

    bool IsOnline() const { return client_.isOnline(); }
    qint64 PublishedCount() const { return acknowledgedTotal_; }
    const PublisherOptions& Options() const { return options_; }

signals:
    void ConnectionChanged(bool online, const QString& reason);

public slots:
    // Sends what the outbox holds beyond what is already on its way (after each store commit).
    void Pump();

private:
    void OnAcknowledged(int messageId);
    void FlushAcknowledged();

    PublisherOptions options_;
    store::HistoryWriter& writer_;
    QString historyFile_;
    MqttClient client_;
    std::unique_ptr<store::HistoryReader> reader_;
    // A reading's identity in the store: its time, device and battery. Outbox sequence numbers
    // are not used for it, because the store hands out a number again once its row is gone.
    using ReadingKey = std::tuple<qint64, std::uint8_t, std::uint8_t>;
    struct Sent {
        ReadingKey key;
        qint64 seq;
    };
    std::map<int, Sent> inFlight_;  // message id -> the reading it carries
    // Readings on their way or acknowledged but perhaps still in the outbox: never sent again.
    std::set<ReadingKey> claimed_;
    std::set<ReadingKey> acknowledgedKeys_;
    std::vector<qint64> acknowledged_;  // sequence numbers not yet handed to MarkPublished
    QTimer markTimer_;  // hands acknowledged sequence numbers to the writer in batches
    qint64 acknowledgedTotal_ = 0;
};

// A publisher of what `station` records: its readings through its store's outbox (so the station
// must have been made with a store and StationOptions::mqttOutbox) and its alarm events, raised,
// cleared and acknowledged. The window and batmond both feed their broker this way. It is not
// started yet, so that its signals can be connected first. Nothing, with `error` set, when the
// station keeps no store.
std::unique_ptr<MqttPublisher> PublishStation(Station& station, const PublisherOptions& options,
                                              QString* error);
