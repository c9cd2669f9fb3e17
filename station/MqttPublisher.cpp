#include "station/MqttPublisher.h"

#include "mqtt/BatmonMessages.h"
#include "station/Station.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"

namespace {

MqttClientOptions ClientOptions(const PublisherOptions& options) {
    MqttClientOptions client;
    client.endpoint = options.endpoint;
    client.caFile = options.caFile;
    client.will = MqttWill{StatusTopic(options.site), kOfflinePayload, 1, true};
    client.reconnectDelayLastSeconds = 10;
    return client;
}

ReadingMessage MessageOf(const QString& site, const battery::Reading& r) {
    ReadingMessage message;
    message.site = site;
    message.device = r.device;
    message.battery = r.battery;
    message.timeMs = r.t_ms;
    message.voltage = r.voltage_dv / 10.0;
    message.temperature = r.temperature_dc / 10.0;
    message.status = r.status;
    return message;
}

}  // namespace

MqttPublisher::MqttPublisher(PublisherOptions options, store::HistoryWriter& writer,
                             const QString& historyFile, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      writer_(writer),
      historyFile_(historyFile),
      client_(ClientOptions(options_)) {
    markTimer_.setSingleShot(true);
    markTimer_.setInterval(200);
    connect(&markTimer_, &QTimer::timeout, this, &MqttPublisher::FlushAcknowledged);
    connect(&client_, &MqttClient::acknowledged, this, &MqttPublisher::OnAcknowledged);
    connect(&client_, &MqttClient::online, this, [this](bool) {
        client_.publish(StatusTopic(options_.site), kOnlinePayload, 1, true);
        emit ConnectionChanged(true, {});
        Pump();
    });
    connect(&client_, &MqttClient::offline, this,
            [this](const QString& reason) { emit ConnectionChanged(false, reason); });
    connect(&writer_, &store::HistoryWriter::Committed, this, &MqttPublisher::Pump);
}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Start(QString* error) {
    if (!IsValidSiteName(options_.site)) {
        if (error)
            *error =
                QStringLiteral("the site name \"%1\" is not one topic level").arg(options_.site);
        return false;
    }
    return client_.start(error);
}

// Readings still on their way when the client stops stay in the outbox and go out again on the
// next start: the broker may then see some twice, never none.
void MqttPublisher::Stop() {
    FlushAcknowledged();
    // A clean disconnect suppresses the last will, so the goodbye is said here.
    if (client_.isOnline()) client_.publish(StatusTopic(options_.site), kOfflinePayload, 1, true);
    client_.stop();
    inFlight_.clear();
    claimed_.clear();
    acknowledgedKeys_.clear();
}

// The outbox lists readings in the order they were written, so the readings this publisher has
// claimed are always its first rows, as long as they are there: reading as many rows as are
// claimed plus the free room shows every claimed row still present and the next ones to send.
// An acknowledged reading missing from that view has left the outbox and needs no memory.
void MqttPublisher::Pump() {
    if (!client_.isOnline()) return;
    const int room = options_.window - static_cast<int>(inFlight_.size());
    if (room <= 0) return;
    if (!reader_ || !reader_->IsOpen())
        reader_ = std::make_unique<store::HistoryReader>(historyFile_);
    if (!reader_->IsOpen()) return;  // the writer has not made the file yet; the next commit
    std::set<ReadingKey> present;
    for (const store::OutboxEntry& entry :
         reader_->ReadOutbox(static_cast<int>(claimed_.size()) + room)) {
        const battery::Reading& r = entry.reading;
        const ReadingKey key{r.t_ms, r.device, r.battery};
        if (claimed_.count(key)) {
            present.insert(key);
            continue;
        }
        const int id = client_.publish(ReadingTopic(options_.site, r.device, r.battery),
                                       ReadingPayload(MessageOf(options_.site, r)), 1, true);
        if (id < 0) break;  // refused: tried again from here on the next pump
        inFlight_[id] = Sent{key, entry.seq};
        claimed_.insert(key);
    }
    for (auto it = acknowledgedKeys_.begin(); it != acknowledgedKeys_.end();) {
        if (present.count(*it)) {
            ++it;
        } else {
            claimed_.erase(*it);
            it = acknowledgedKeys_.erase(it);
        }
    }
}

void MqttPublisher::OnAcknowledged(int messageId) {
    const auto it = inFlight_.find(messageId);
    if (it == inFlight_.end()) return;  // a status or alarm message
    acknowledged_.push_back(it->second.seq);
    acknowledgedKeys_.insert(it->second.key);
    inFlight_.erase(it);
    ++acknowledgedTotal_;
    if (!markTimer_.isActive()) markTimer_.start();
    if (static_cast<int>(inFlight_.size()) <= options_.window / 2) Pump();
}

void MqttPublisher::FlushAcknowledged() {
    markTimer_.stop();
    if (acknowledged_.empty()) return;
    writer_.MarkPublished(std::move(acknowledged_));
    acknowledged_.clear();
}

void MqttPublisher::PublishAlarm(const alarms::AlarmEvent& event) {
    AlarmMessage message;
    message.site = options_.site;
    message.device = event.key.battery.device;
    message.battery = event.key.battery.battery;
    message.timeMs = event.tMs;
    message.kind = alarms::KindId(event.key.kind);
    message.state = alarms::StateId(event.state);
    message.value = event.value;
    message.user = event.user;
    message.level = alarms::LevelId(event.level);
    client_.publish(AlarmTopic(options_.site), AlarmPayload(message), 1, false);
}

std::unique_ptr<MqttPublisher> PublishStation(Station& station, const PublisherOptions& options,
                                              QString* error) {
    store::HistoryWriter* writer = station.Writer();
    if (!writer || !station.Options().mqttOutbox) {
        if (error)
            *error = QStringLiteral(
                "publishing needs the history store: readings wait there until the broker has "
                "them");
        return nullptr;
    }
    auto publisher = std::make_unique<MqttPublisher>(
        options, *writer, store::HistoryFilePath(station.Options().dataDir));
    QObject::connect(&station.Alarms(), &AlarmMonitor::EventsOccurred, publisher.get(),
                     [sender = publisher.get()](const alarms::AlarmEvents& events) {
                         for (const alarms::AlarmEvent& event : events) sender->PublishAlarm(event);
                     });
    return publisher;
}
