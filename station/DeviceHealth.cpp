#include "station/DeviceHealth.h"

#include "battery/BatteryId.h"
#include "engine/MonitorSession.h"

DeviceHealthWatch::DeviceHealthWatch(MonitorSession& session, QObject* parent)
    : QObject(parent), session_(session) {
    connect(&session, &MonitorSession::CycleStarted, this,
            [this] { seen_.fill(DeviceHealth::Silent); });
    connect(&session, &MonitorSession::ReadingAccepted, this,
            [this](const battery::Reading& reading) {
                seen_[static_cast<std::size_t>(battery::DeviceIndex(reading.device))] =
                    DeviceHealth::Answering;
            });
    connect(&session, &MonitorSession::DeviceAnsweredLate, this, [this](std::uint8_t device) {
        seen_[static_cast<std::size_t>(battery::DeviceIndex(device))] = DeviceHealth::Late;
    });
    connect(&session, &MonitorSession::CycleEnded, this, &DeviceHealthWatch::OnCycleEnded);
}

DeviceHealth DeviceHealthWatch::HealthOf(std::uint8_t device) const {
    return health_[static_cast<std::size_t>(battery::DeviceIndex(device))];
}

void DeviceHealthWatch::OnCycleEnded() {
    if (!session_.PortOpen()) return;
    for (std::size_t i = 0; i < battery::kDevices.size(); ++i) {
        if (health_[i] == seen_[i]) continue;
        health_[i] = seen_[i];
        emit HealthChanged(battery::kDevices[i], health_[i]);
    }
}
