#pragma once

#include <QObject>
#include <QString>
#include <array>

#include "station/DeviceHealth.h"

class Station;
class SystemdNotifier;

// What batmond's status line says about the bus and the store.
struct BusState {
    enum class Port { Opening, Open, Closed };

    QString portName;
    Port port = Port::Opening;
    QString portProblem;      // why the port is closed
    bool cycleEnded = false;  // a poll cycle has ended since the port opened
    std::array<DeviceHealth, 2> devices{DeviceHealth::Answering, DeviceHealth::Answering};
    bool storeWriting = true;
    QString storeProblem;  // the store's message while it does not write
};

// One line for `systemctl status`: "port /dev/ttyUSB0 open; A0 answering, A1 silent".
QString StatusLine(const BusState& state);

// Follows a station for systemd: READY=1 once the history store is open (at once without a
// store), and a status line with the port, the devices and the store whenever one of them
// changes.
class ServiceStatus : public QObject {
    Q_OBJECT
public:
    ServiceStatus(Station& station, SystemdNotifier& notifier, const QString& portName,
                  QObject* parent = nullptr);

    // batmond has started: READY=1 now if the store is open, else once it is.
    void Started();

private:
    void SetStoreWriting(bool writing, const QString& message);
    void Publish();

    Station& station_;
    SystemdNotifier& notifier_;
    BusState state_;
    bool started_ = false;
    bool ready_ = false;
};
