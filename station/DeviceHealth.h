#pragma once

#include <QObject>
#include <array>
#include <cstdint>

class MonitorSession;

// How a device did in the last poll cycle: its block gave readings, was discarded as late, or
// gave nothing at all.
enum class DeviceHealth { Answering, Late, Silent };

// Follows each device's health from cycle to cycle of a session and reports the changes. A cycle
// that ends with the port closed says nothing: without a port every device is silent, and the
// port's own report says why. Every device counts as answering until a cycle shows otherwise.
class DeviceHealthWatch : public QObject {
    Q_OBJECT
public:
    explicit DeviceHealthWatch(MonitorSession& session, QObject* parent = nullptr);

    DeviceHealth HealthOf(std::uint8_t device) const;

signals:
    void HealthChanged(std::uint8_t device, DeviceHealth health);

private:
    void OnCycleEnded();

    MonitorSession& session_;
    std::array<DeviceHealth, 2> health_{DeviceHealth::Answering, DeviceHealth::Answering};
    std::array<DeviceHealth, 2> seen_{DeviceHealth::Silent, DeviceHealth::Silent};
};
