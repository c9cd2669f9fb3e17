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

// The messages of an outbox page, converted one by one.
template <class Entry, class Convert>
std::optional<OutboxMessagePage> MessagesOf(const std::optional<store::OutboxPage<Entry>>& page,
                                            Convert&& convert) {
    if (!page) return std::nullopt;
    OutboxMessagePage messages{{}, page->lastSeq, page->complete};
    messages.messages.reserve(page->entries.size());
    for (const Entry& entry : page->entries) messages.messages.push_back(convert(entry));
    return messages;
}

}  // namespace

MqttPublisher::MqttPublisher(PublisherOptions options, store::HistoryWriter& writer,
                             const QString& historyFile, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      writer_(writer),
      historyFile_(historyFile),
      client_(ClientOptions(options_)),
      readings_(
          [this](qint64 afterSeq, int limit) -> std::optional<OutboxMessagePage> {
              store::HistoryReader* reader = Reader();
              if (!reader) return std::nullopt;
              return MessagesOf(reader->ReadOutbox(afterSeq, limit),
                                [this](const auto& e) { return ReadingMessageOf(e); });
          },
          kMemoryRows),
      alarms_(
          [this](qint64 afterSeq, int limit) -> std::optional<OutboxMessagePage> {
              store::HistoryReader* reader = Reader();
              if (!reader) return std::nullopt;
              return MessagesOf(reader->ReadAlarmOutbox(store::kMqttChannel, afterSeq, limit),
                                [this](const auto& e) { return AlarmMessageOf(e); });
          },
          kMemoryRows) {
    markTimer_.setSingleShot(true);
    markTimer_.setInterval(200);
    connect(&markTimer_, &QTimer::timeout, this, &MqttPublisher::FlushAcknowledged);
    connect(&client_, &MqttClient::Acknowledged, this, &MqttPublisher::OnAcknowledged);
    connect(&client_, &MqttClient::Online, this, &MqttPublisher::OnOnline);
    connect(&client_, &MqttClient::Offline, this, [this](const QString& reason) {
        // What commits meanwhile waits in the file; it is read there after the reconnect.
        readings_.Reload();
        alarms_.Reload();
        emit ConnectionChanged(false, reason);
    });
    connect(&writer_, &store::HistoryWriter::OutboxCommitted, this,
            &MqttPublisher::OnOutboxCommitted);
}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Start(QString* error) {
    if (!IsValidSiteName(options_.site)) {
        if (error)
            *error =
                QStringLiteral("the site name \"%1\" is not one topic level").arg(options_.site);
        return false;
    }
    return client_.Start(error);
}

// Messages still on their way when the client stops stay in the outbox and go out again on the
// next start: the broker may then see some twice, never none.
void MqttPublisher::Stop() {
    FlushAcknowledged();
    // A clean disconnect suppresses the last will, so the goodbye is said here.
    if (client_.IsOnline()) client_.Publish(StatusTopic(options_.site), kOfflinePayload, 1, true);
    client_.Stop();
    inFlight_.clear();
    readings_.Reset();
    alarms_.Reset();
}

void MqttPublisher::OnOnline() {
    client_.Publish(StatusTopic(options_.site), kOnlinePayload, 1, true);
    readings_.Reload();
    alarms_.Reload();
    emit ConnectionChanged(true, {});
    Pump();
}

void MqttPublisher::OnOutboxCommitted(const store::OutboxBatch& added) {
    std::vector<OutboxMessage> readings;
    readings.reserve(added.readings.size());
    for (const store::OutboxEntry& entry : added.readings)
        readings.push_back(ReadingMessageOf(entry));
    std::vector<OutboxMessage> alarms;
    for (const store::AlarmOutboxEntry& entry : added.alarms)
        if (entry.channel == store::kMqttChannel) alarms.push_back(AlarmMessageOf(entry));
    readings_.Committed(std::move(readings));
    alarms_.Committed(std::move(alarms));
    Pump();
}

// Alarm events go first: there are few of them, and they matter most.
void MqttPublisher::Pump() {
    if (!client_.IsOnline()) return;
    for (OutboxFeed* feed : {&alarms_, &readings_}) {
        for (;;) {
            const int room = options_.window - static_cast<int>(inFlight_.size());
            if (room <= 0) return;
            const OutboxMessage* message = feed->Next(room);
            if (!message) break;
            const int id = client_.Publish(message->topic, message->payload, 1, message->retain);
            if (id < 0) return;  // refused: tried again from here on the next pump
            inFlight_[id] = Sent{feed == &readings_, message->seq};
            feed->Sent();
        }
    }
}

void MqttPublisher::OnAcknowledged(int messageId) {
    const auto it = inFlight_.find(messageId);
    if (it == inFlight_.end()) return;  // a status message
    if (it->second.reading) {
        acknowledgedReadingSeqs_.push_back(it->second.seq);
        ++acknowledgedReadings_;
    } else {
        acknowledgedAlarmSeqs_.push_back(it->second.seq);
    }
    inFlight_.erase(it);
    if (!markTimer_.isActive()) markTimer_.start();
    if (static_cast<int>(inFlight_.size()) <= options_.window / 2) Pump();
}

void MqttPublisher::FlushAcknowledged() {
    markTimer_.stop();
    if (!acknowledgedReadingSeqs_.empty())
        writer_.MarkPublished(std::move(acknowledgedReadingSeqs_));
    if (!acknowledgedAlarmSeqs_.empty())
        writer_.MarkAlarmsPublished(std::move(acknowledgedAlarmSeqs_));
    acknowledgedReadingSeqs_.clear();
    acknowledgedAlarmSeqs_.clear();
}

// The reader is opened when the outbox is first read, and again after a failed open (the writer
// has not made the file yet).
store::HistoryReader* MqttPublisher::Reader() {
    if (!reader_ || !reader_->IsOpen())
        reader_ = std::make_unique<store::HistoryReader>(historyFile_);
    return reader_->IsOpen() ? reader_.get() : nullptr;
}

OutboxMessage MqttPublisher::ReadingMessageOf(const store::OutboxEntry& entry) const {
    const battery::Reading& r = entry.reading;
    ReadingMessage message;
    message.site = options_.site;
    message.device = r.device;
    message.battery = r.battery;
    message.timeMs = r.tMs;
    message.voltage = r.Volts();
    message.temperature = r.Celsius();
    message.status = r.status;
    return {entry.seq, ReadingTopic(options_.site, r.device, r.battery), ReadingPayload(message),
            true};
}

OutboxMessage MqttPublisher::AlarmMessageOf(const store::AlarmOutboxEntry& entry) const {
    const alarms::AlarmEvent& event = entry.event;
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
    return {entry.seq, AlarmTopic(options_.site), AlarmPayload(message), false};
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
    return std::make_unique<MqttPublisher>(options, *writer,
                                           store::HistoryFilePath(station.Options().dataDir));
}
