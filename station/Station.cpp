#include "station/Station.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "store/Retention.h"

Station::Station(std::unique_ptr<PortLink> link, Clock& clock, const StationOptions& options,
                 QObject* parent)
    : QObject(parent),
      clock_(clock),
      options_(options),
      session_(new MonitorSession(std::move(link), clock, this)),
      alarms_(new AlarmMonitor(*session_, clock, this)),
      health_(new DeviceHealthWatch(*session_, this)),
      discharges_(new DischargeWatch(*session_, *alarms_, clock, this)) {
    connect(session_, &MonitorSession::ReadingAccepted, this, &Station::Record);
    discharges_->SetSettings(options_.discharge);
    discharges_->SetFastSampling(options_.fastSamplingInDischarge);
    if (options_.dataDir.isEmpty()) return;
    writer_ = std::make_unique<store::HistoryWriter>(options_.dataDir);
    writer_->SetRetryPeriod(std::chrono::milliseconds(MonitorSession::kDefaultSamplingMs));
    connect(writer_.get(), &store::HistoryWriter::HealthChanged, this,
            &Station::OnWriterHealthChanged);
    connect(writer_.get(), &store::HistoryWriter::Committed, this, &Station::OnCommitted);
    connect(alarms_, &AlarmMonitor::EventsOccurred, this, &Station::RecordAlarms);
    connect(session_, &MonitorSession::SamplingPeriodChanged, this, [this](int ms) {
        if (ms > 0) writer_->SetRetryPeriod(std::chrono::milliseconds(ms));
    });
    // Read before the writer opens the file: the reader never waits for the writer's set-up.
    RestoreAlarms();
    RestoreDischarges();
    discharges_->SetWriter(writer_.get());
    writer_->SetOutboxEnabled(options_.mqttOutbox);
    writer_->Start();
    if (options_.keepDays > 0) {
        retention_ = std::make_unique<store::RetentionTrigger>(*writer_, options_.keepDays);
        retention_->Start();
    }
}

Station::~Station() { Shutdown(); }

store::Unwritten Station::Shutdown(std::chrono::milliseconds retryFor) {
    retention_.reset();
    return writer_ ? writer_->Shutdown(retryFor) : store::Unwritten{};
}

std::vector<battery::Reading> Station::LoadRecent() const {
    if (!writer_ || options_.restoreHours <= 0) return {};
    store::HistoryReader reader(store::HistoryFilePath(options_.dataDir));
    return reader.LoadRecentHours(options_.restoreHours, clock_.NowMs());
}

// The writer commits readings in the order they were handed over, so the total it reports
// after a commit says which of them are in the file.
void Station::Record(const battery::Reading& reading) {
    if (!writer_) {
        emit ReadingRecorded(reading);
        return;
    }
    writer_->Append(reading);
    ++handedOver_;
    if (writer_->IsHealthy())
        awaitingCommit_.push_back({handedOver_, reading});
    else
        emit ReadingRecorded(reading);
}

void Station::OnCommitted(qint64 totalReadings) {
    while (!awaitingCommit_.empty() && awaitingCommit_.front().ordinal <= totalReadings) {
        const AwaitingCommit r = awaitingCommit_.front();
        awaitingCommit_.pop_front();
        emit ReadingRecorded(r.reading);
    }
}

// A failing store must not stop the display: what waits for its commit is let through, and
// the writer keeps it in memory until it can write it.
void Station::OnWriterHealthChanged(bool writing, const QString& message) {
    if (!writing) OnCommitted(handedOver_);
    emit StoreHealthChanged(writing, message);
}

void Station::RecordAlarms(const alarms::AlarmEvents& events) {
    for (const alarms::AlarmEvent& event : events) writer_->AppendAlarm(event);
}

// Every stored alarm event is read, not only recent ones: an alarm raised long ago and never
// cleared is still active. The table holds changes only, so it stays small.
void Station::RestoreDischarges() {
    store::HistoryReader reader(store::HistoryFilePath(options_.dataDir));
    if (reader.IsOpen()) discharges_->Resume(reader.Discharges(true));
}

void Station::RestoreAlarms() {
    store::HistoryReader reader(store::HistoryFilePath(options_.dataDir));
    if (!reader.IsOpen()) return;
    alarms::AlarmEvents events;
    reader.ForEachAlarm(std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max(),
                        [&](const alarms::AlarmEvent& event) {
                            if (battery::WatchedIndex(event.key.battery)) events.push_back(event);
                            return true;
                        });
    std::vector<LastReadingTime> last;
    for (const battery::BatteryId battery : battery::WatchedBatteries()) {
        if (const auto tMs = reader.LastReadingMs(battery.device, battery.battery))
            last.push_back({battery, *tMs});
    }
    alarms_->Restore(events, last);
    const std::size_t shown = std::min(events.size(), kShownAlarmEvents);
    storedAlarmEvents_.assign(events.end() - static_cast<std::ptrdiff_t>(shown), events.end());
}
