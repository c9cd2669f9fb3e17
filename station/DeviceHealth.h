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
//
// It also follows whether each device is available, which is what others outside see (MQTT,
// /metrics): available from the end of the first cycle in which it answered (late or not),
// unavailable after kSilentCyclesUntilUnavailable silent cycles in a row and at once when the
// port closes or cannot be opened. A device is unavailable until it has answered.
class DeviceHealthWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int kSilentCyclesUntilUnavailable = 3;

    explicit DeviceHealthWatch(MonitorSession& session, QObject* parent = nullptr);

    DeviceHealth HealthOf(std::uint8_t device) const;
    bool IsAvailable(std::uint8_t device) const;

signals:
    void HealthChanged(std::uint8_t device, DeviceHealth health);
    void AvailabilityChanged(std::uint8_t device, bool available);

private:
    void OnCycleEnded();
    void SetAvailable(std::size_t index, bool available);
    void PortLost();

    MonitorSession& session_;
    std::array<DeviceHealth, 2> health_{DeviceHealth::Answering, DeviceHealth::Answering};
    std::array<DeviceHealth, 2> seen_{DeviceHealth::Silent, DeviceHealth::Silent};
    std::array<int, 2> silentCycles_{0, 0};
    std::array<bool, 2> available_{false, false};
};
