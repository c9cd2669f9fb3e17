#include "station/MqttPublisher.h"

#include "mqtt/BatmonMessages.h"
#include "mqtt/DischargeMessages.h"
#include "station/AlarmMonitor.h"
#include "station/DeviceHealth.h"
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
    if (options_.discovery) {
        connect(&client_, &MqttClient::MessageReceived, this, &MqttPublisher::OnMessage);
        client_.Subscribe(HomeAssistantStatusTopic(options_.discovery->prefix), 1);
        client_.Subscribe(DiscoveryFilter(options_.discovery->prefix, options_.site), 1);
    }
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
    // A clean disconnect suppresses the last will, so the goodbye is said here, for the devices
    // too: nobody watches them any more.
    if (client_.IsOnline()) {
        for (const auto& [topic, payload] : retained_)
            if (IsDeviceStatusTopic(topic)) client_.Publish(topic, kOfflinePayload, 1, true);
        client_.Publish(StatusTopic(options_.site), kOfflinePayload, 1, true);
    }
    client_.Stop();
    inFlight_.clear();
    readings_.Reset();
    alarms_.Reset();
}

void MqttPublisher::OnOnline() {
    client_.Publish(StatusTopic(options_.site), kOnlinePayload, 1, true);
    for (const auto& [topic, payload] : retained_) SendState(topic, payload);
    for (const auto& [topic, payload] : std::exchange(waitingOnce_, {}))
        client_.Publish(topic, payload, 1, false);
    readings_.Reload();
    alarms_.Reload();
    emit ConnectionChanged(true, {});
    Pump();
}

void MqttPublisher::SetRetained(const QByteArray& topic, const QByteArray& payload) {
    if (topic.isEmpty()) return;
    const auto it = retained_.find(topic);
    if (it != retained_.end() && it->second == payload) return;
    retained_[topic] = payload;
    if (client_.IsOnline()) SendState(topic, payload);
}

void MqttPublisher::PublishOnce(const QByteArray& topic, const QByteArray& payload) {
    if (topic.isEmpty()) return;
    if (client_.IsOnline())
        client_.Publish(topic, payload, 1, false);
    else if (waitingOnce_.size() < kMemoryRows)
        waitingOnce_.emplace_back(topic, payload);
}

// The state goes out beside the outboxes' window: there is one message per topic at most.
void MqttPublisher::SendState(const QByteArray& topic, const QByteArray& payload) {
    client_.Publish(topic, payload, 1, true);
}

void MqttPublisher::SetSamplingPeriod(int ms) {
    if (ms <= 0 || ms == samplingPeriodMs_) return;  // stopped: readings keep their last expiry
    samplingPeriodMs_ = ms;
    UpdateDiscovery();
}

// Home Assistant marks a reading sensor unavailable when no reading came for three periods.
void MqttPublisher::UpdateDiscovery() {
    if (!options_.discovery || samplingPeriodMs_ <= 0) return;
    constexpr int kPeriodsUntilExpired = 3;
    const int expireAfterSeconds = (kPeriodsUntilExpired * samplingPeriodMs_ + 999) / 1000;
    const std::vector<RetainedMessage> documents =
        DiscoveryDocuments({options_.discovery->prefix, options_.site, options_.discovery->version,
                            expireAfterSeconds});
    discoveryTopics_.clear();
    for (const auto& [topic, payload] : documents) {
        discoveryTopics_.push_back(topic);
        SetRetained(topic, payload);
    }
}

void MqttPublisher::SendDiscovery() {
    if (!client_.IsOnline()) return;
    for (const QByteArray& topic : discoveryTopics_) SendState(topic, retained_[topic]);
}

// Home Assistant forgets discovered entities when it restarts without a persistent broker
// session; its birth message asks for the documents again. A document of this site that is
// not sent any more (a battery no longer watched) is removed from the broker.
void MqttPublisher::OnMessage(const QByteArray& topic, const QByteArray& payload, bool) {
    if (topic == HomeAssistantStatusTopic(options_.discovery->prefix)) {
        if (payload == kOnlinePayload) SendDiscovery();
        return;
    }
    if (payload.isEmpty() || discoveryTopics_.empty() || retained_.contains(topic)) return;
    client_.Publish(topic, QByteArray(), 1, true);
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

namespace {

// A battery's active alarms as its alarms topic lists them.
std::vector<ActiveAlarmMessage> AlarmListOf(const alarms::AlarmRules& rules,
                                            battery::BatteryId battery) {
    std::vector<ActiveAlarmMessage> list;
    for (const alarms::ActiveAlarm& alarm : rules.ActiveAlarms()) {
        if (alarm.key.battery != battery) continue;
        ActiveAlarmMessage message;
        message.kind = alarms::KindId(alarm.key.kind);
        message.level = alarms::LevelId(alarm.level);
        message.sinceMs = alarm.sinceMs;
        message.value = alarm.value;
        message.acknowledged = alarm.acknowledged;
        list.push_back(message);
    }
    return list;
}

// Keeps `publisher`'s state of `station` current: each device's availability, each watched
// battery's active alarms and the sampling period.
void FollowStationState(Station& station, MqttPublisher& publisher) {
    const QString site = publisher.Options().site;
    MqttPublisher* const state = &publisher;
    const auto setDevice = [state, site](std::uint8_t device, bool available) {
        state->SetRetained(DeviceStatusTopic(site, device),
                           available ? kOnlinePayload : kOfflinePayload);
    };
    const AlarmMonitor* const monitor = &station.Alarms();
    const auto setAlarms = [state, monitor, site](battery::BatteryId battery) {
        state->SetRetained(BatteryAlarmsTopic(site, battery.device, battery.battery),
                           BatteryAlarmsPayload(AlarmListOf(monitor->Rules(), battery)));
    };
    for (const std::uint8_t device : battery::kDevices)
        setDevice(device, station.Health().IsAvailable(device));
    for (const battery::BatteryId battery : battery::WatchedBatteries()) setAlarms(battery);
    publisher.SetSamplingPeriod(station.Session().SamplingTimer().Interval());

    QObject::connect(&station.Health(), &DeviceHealthWatch::AvailabilityChanged, &publisher,
                     setDevice);
    QObject::connect(monitor, &AlarmMonitor::EventsOccurred, &publisher,
                     [setAlarms](const alarms::AlarmEvents& events) {
                         for (const alarms::AlarmEvent& event : events)
                             if (battery::WatchedIndex(event.key.battery))
                                 setAlarms(event.key.battery);
                     });
    QObject::connect(&station.Session(), &MonitorSession::SamplingPeriodChanged, &publisher,
                     [state](int ms) { state->SetSamplingPeriod(ms); });

    // Each device's discharge state, and the record of each discharge that ends.
    const DischargeWatch* const discharges = &station.Discharges();
    for (const std::uint8_t device : battery::kDevices)
        state->SetRetained(DischargeStateTopic(site, device),
                           DischargeStatePayload(discharges->Running(device)));
    QObject::connect(discharges, &DischargeWatch::DischargeChanged, &publisher,
                     [state, site](const alarms::DischargeChange& change) {
                         const std::uint8_t device = change.record.device;
                         const bool ended = change.kind == alarms::DischargeChange::Kind::Ended;
                         state->SetRetained(
                             DischargeStateTopic(site, device),
                             DischargeStatePayload(ended ? nullptr : &change.record));
                         if (ended)
                             state->PublishOnce(DischargeSummaryTopic(site, device),
                                                DischargeSummaryPayload(change.record));
                     });
}

}  // namespace

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
    FollowStationState(station, *publisher);
    return publisher;
}
