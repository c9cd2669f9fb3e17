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
    connect(&session, &MonitorSession::PortClosed, this, &DeviceHealthWatch::PortLost);
    connect(&session, &MonitorSession::PortOpenFailed, this, &DeviceHealthWatch::PortLost);
}

DeviceHealth DeviceHealthWatch::HealthOf(std::uint8_t device) const {
    return health_[static_cast<std::size_t>(battery::DeviceIndex(device))];
}

bool DeviceHealthWatch::IsAvailable(std::uint8_t device) const {
    return available_[static_cast<std::size_t>(battery::DeviceIndex(device))];
}

void DeviceHealthWatch::OnCycleEnded() {
    if (!session_.PortOpen()) return;
    for (std::size_t i = 0; i < battery::kDevices.size(); ++i) {
        if (seen_[i] == DeviceHealth::Silent) {
            if (++silentCycles_[i] >= kSilentCyclesUntilUnavailable) SetAvailable(i, false);
        } else {
            silentCycles_[i] = 0;
            SetAvailable(i, true);
        }
        if (health_[i] == seen_[i]) continue;
        health_[i] = seen_[i];
        emit HealthChanged(battery::kDevices[i], health_[i]);
    }
}

void DeviceHealthWatch::SetAvailable(std::size_t index, bool available) {
    if (available_[index] == available) return;
    available_[index] = available;
    emit AvailabilityChanged(battery::kDevices[index], available);
}

void DeviceHealthWatch::PortLost() {
    for (std::size_t i = 0; i < battery::kDevices.size(); ++i) {
        silentCycles_[i] = 0;
        SetAvailable(i, false);
    }
}
