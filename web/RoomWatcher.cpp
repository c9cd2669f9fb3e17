#include "web/RoomWatcher.h"

#include <QDateTime>

#include "station/Station.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"

namespace web {
namespace {

// The newest stored reading of every watched battery: one key lookup each.
void SeedFromStore(const QString& dataDir, RoomState& state) {
    if (dataDir.isEmpty()) return;
    store::HistoryReader reader(store::HistoryFilePath(dataDir));
    if (!reader.IsOpen()) return;
    for (int i = 0; i < battery::kWatchedCount; ++i) {
        const battery::BatteryId id = battery::WatchedBattery(i);
        const auto last = reader.LastReadingMs(id.device, id.battery);
        if (!last) continue;
        store::ReadingFilter filter;
        filter.fromMs = *last;
        filter.toMs = *last;
        filter.device = id.device;
        filter.battery = id.battery;
        reader.ForEachReading(filter, [&](const battery::Reading& reading) {
            state.latest[static_cast<std::size_t>(i)] = reading;
            return false;
        });
    }
}

}  // namespace

RoomWatcher::RoomWatcher(Station& station, RoomBoard& board, QString site, int periodMs,
                         std::function<QByteArray()> renderMetrics, QObject* parent)
    : QObject(parent), station_(station), board_(board), renderMetrics_(std::move(renderMetrics)) {
    state_.site = std::move(site);
    state_.periodMs = periodMs;
    SeedFromStore(station.Writer() ? station.Options().dataDir : QString(), state_);

    coalesce_.setSingleShot(true);
    coalesce_.setInterval(0);
    connect(&coalesce_, &QTimer::timeout, this, &RoomWatcher::PublishNow);
    refresh_.setInterval(kRefreshMs);
    connect(&refresh_, &QTimer::timeout, this, &RoomWatcher::PublishNow);
    refresh_.start();

    MonitorSession& session = station.Session();
    connect(&station, &Station::ReadingRecorded, this, [this](const battery::Reading& reading) {
        if (const auto index = battery::WatchedIndex(reading.Id()))
            state_.latest[static_cast<std::size_t>(*index)] = reading;
        Changed();
    });
    connect(&session, &MonitorSession::PortOpened, this, [this](const QString& name) {
        state_.portName = name;
        state_.portOpen = true;
        Changed();
    });
    connect(&session, &MonitorSession::PortOpenFailed, this, [this](const QString& name) {
        state_.portName = name;
        state_.portOpen = false;
        Changed();
    });
    connect(&session, &MonitorSession::PortClosed, this, [this] {
        state_.portOpen = false;
        Changed();
    });
    connect(&session, &MonitorSession::CycleEnded, this, [this] {
        state_.lastCycleMs = QDateTime::currentMSecsSinceEpoch();
        Changed();
    });
    connect(&session, &MonitorSession::SamplingPeriodChanged, this, [this](int ms) {
        if (ms > 0) state_.periodMs = ms;
        Changed();
    });
    connect(&station.Alarms(), &AlarmMonitor::EventsOccurred, this, &RoomWatcher::Changed);
    PublishNow();
}

void RoomWatcher::SetSite(const QString& site) {
    state_.site = site;
    Changed();
}

void RoomWatcher::Changed() {
    if (!coalesce_.isActive()) coalesce_.start();
}

void RoomWatcher::PublishNow() {
    state_.activeAlarms = station_.Alarms().Rules().ActiveAlarms();
    if (renderMetrics_) state_.metrics = renderMetrics_();
    board_.Publish(std::make_shared<const RoomState>(state_));
}

}  // namespace web
