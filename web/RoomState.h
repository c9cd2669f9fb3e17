#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "alarms/AlarmTypes.h"
#include "battery/BatteryId.h"
#include "battery/Reading.h"

namespace web {

// What the web server shows of the station between two of its changes: copied whole on every
// change, so a request handler reads one consistent picture without touching the station.
struct RoomState {
    QString site;
    QString portName;
    bool portOpen = false;
    std::optional<qint64> lastCycleMs;  // when the last poll cycle ended (wall clock)
    int periodMs = 10'000;
    // The newest recorded reading of every watched battery, in WatchedBatteries() order.
    std::array<std::optional<battery::Reading>, battery::kWatchedCount> latest{};
    std::vector<alarms::ActiveAlarm> activeAlarms;
    QByteArray metrics;  // the /metrics text; empty where the station has none
};

// A battery is stale once it has gone three sampling periods without a reading.
inline constexpr int kStalePeriods = 3;
bool IsStale(const RoomState& state, const battery::Reading& reading, qint64 nowMs);

// The latest RoomState, handed from the station's thread to the server's threads: the station
// publishes a new copy, readers take a shared pointer and never block the publisher for longer
// than a pointer swap.
class RoomBoard {
public:
    RoomBoard() : state_(std::make_shared<const RoomState>()) {}
    void Publish(std::shared_ptr<const RoomState> state) {
        const std::lock_guard lock(mutex_);
        state_ = std::move(state);
    }
    std::shared_ptr<const RoomState> Current() const {
        const std::lock_guard lock(mutex_);
        return state_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const RoomState> state_;
};

}  // namespace web
