#include "service/ServiceStatus.h"

#include <QStringList>

#include "battery/BatteryId.h"
#include "service/BatmonService.h"
#include "service/SystemdNotifier.h"
#include "station/Station.h"
#include "store/HistoryWriter.h"

namespace {

QString HealthText(DeviceHealth health) {
    switch (health) {
        case DeviceHealth::Answering:
            return QStringLiteral("answering");
        case DeviceHealth::Late:
            return QStringLiteral("answering late");
        case DeviceHealth::Silent:
            return QStringLiteral("silent");
    }
    return {};
}

}  // namespace

QString StatusLine(const BusState& state) {
    QString line;
    switch (state.port) {
        case BusState::Port::Opening:
            line = QStringLiteral("opening port %1").arg(state.portName);
            break;
        case BusState::Port::Closed:
            line = QStringLiteral("port %1 closed: %2; retrying every %3 s")
                       .arg(state.portName, state.portProblem)
                       .arg(BatmonService::kReopenDelayMs / 1000);
            break;
        case BusState::Port::Open: {
            if (!state.cycleEnded) {
                line = QStringLiteral("port %1 open; first poll cycle running").arg(state.portName);
                break;
            }
            QStringList devices;
            for (std::size_t i = 0; i < battery::kDevices.size(); ++i)
                devices << battery::DeviceName(battery::kDevices[i]) + u' ' +
                               HealthText(state.devices[i]);
            line = QStringLiteral("port %1 open; %2").arg(state.portName, devices.join(u", "));
            break;
        }
    }
    if (!state.storeWriting) line += QStringLiteral("; store not writing: ") + state.storeProblem;
    return line;
}

ServiceStatus::ServiceStatus(Station& station, SystemdNotifier& notifier, const QString& portName,
                             QObject* parent)
    : QObject(parent), station_(station), notifier_(notifier) {
    state_.portName = portName;
    MonitorSession& session = station.Session();
    connect(&session, &MonitorSession::PortOpened, this, [this](const QString& name) {
        state_.portName = name;
        state_.port = BusState::Port::Open;
        state_.cycleEnded = false;
        Publish();
    });
    connect(&session, &MonitorSession::PortOpenFailed, this,
            [this](const QString& name, const QString& reason) {
                state_.portName = name;
                state_.port = BusState::Port::Closed;
                state_.portProblem = reason;
                Publish();
            });
    // A port closed on purpose is opened again at once (another port, a retry); one that hung
    // up is retried after a pause.
    connect(&session, &MonitorSession::PortClosed, this, [this](bool hungUp) {
        state_.port = hungUp ? BusState::Port::Closed : BusState::Port::Opening;
        if (hungUp) state_.portProblem = QStringLiteral("hung up");
        Publish();
    });
    // The health watch has taken the cycle into account by now: it was connected first.
    connect(&session, &MonitorSession::CycleEnded, this, [this] {
        if (state_.port != BusState::Port::Open) return;
        state_.cycleEnded = true;
        for (std::size_t i = 0; i < battery::kDevices.size(); ++i)
            state_.devices[i] = station_.Health().HealthOf(battery::kDevices[i]);
        Publish();
    });
    connect(&station, &Station::StoreHealthChanged, this, &ServiceStatus::SetStoreWriting);
}

void ServiceStatus::Started() {
    started_ = true;
    if (store::HistoryWriter* writer = station_.Writer()) {
        // Waits for the writer thread's first attempt, which opens the file: its health then
        // says whether the store is open.
        writer->Flush();
        state_.storeWriting = writer->IsHealthy();
    }
    Publish();
}

void ServiceStatus::SetStoreWriting(bool writing, const QString& message) {
    state_.storeWriting = writing;
    state_.storeProblem = message;
    Publish();
}

void ServiceStatus::Publish() {
    notifier_.Status(StatusLine(state_));
    if (started_ && !ready_ && state_.storeWriting) {
        ready_ = true;
        notifier_.Ready();
    }
}
