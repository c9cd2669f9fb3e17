#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "battery/Reading.h"
#include "engine/Clock.h"
#include "engine/MonitorSession.h"
#include "station/AlarmMonitor.h"
#include "station/DeviceHealth.h"
#include "station/DischargeWatch.h"
#include "store/WriterReports.h"

namespace store {
class HistoryWriter;
class RetentionTrigger;
}  // namespace store

// Where the readings of a monitoring session go besides the screen, and how far back they come
// from at start: the history store. The window and the service each run one.
struct StationOptions {
    QString dataDir;          // the store's folder; empty: no store
    int restoreHours = 24;    // readings brought back at start-up; 0: none
    int keepDays = 0;         // readings older than this are deleted once a day; 0: kept for ever
    bool mqttOutbox = false;  // every reading stays marked in the store until the broker has it
    alarms::DeviceDischargeSettings discharge{};
    // A discharge switches sampling to the fastest period while it lasts.
    bool fastSamplingInDischarge = false;
};

// One monitoring session and its history store, wired together: every reading the session
// accepts is handed to the store's writer thread the moment it is reported, and reported as
// recorded (for display) once the writer has committed it; the writer retries a failed write
// once per sampling period. Its alarm monitor watches the session; every
// alarm event is stored, and the alarms active at the last exit are active again at start-up.
// Its discharge watch follows the strings' discharges; their records are stored, and a
// discharge running at the last exit is taken up again.
class Station : public QObject {
    Q_OBJECT
public:
    Station(std::unique_ptr<PortLink> link, Clock& clock, const StationOptions& options,
            QObject* parent = nullptr);
    ~Station() override;

    MonitorSession& Session() { return *session_; }
    AlarmMonitor& Alarms() { return *alarms_; }
    DeviceHealthWatch& Health() { return *health_; }
    DischargeWatch& Discharges() { return *discharges_; }
    // The stored alarm events read at start-up, oldest first, at most kShownAlarmEvents of the
    // newest: the alarm history as it stood before this run.
    static constexpr std::size_t kShownAlarmEvents = 1000;
    const alarms::AlarmEvents& StoredAlarmEvents() const { return storedAlarmEvents_; }
    // Null when the station runs without a store.
    store::HistoryWriter* Writer() { return writer_.get(); }
    const StationOptions& Options() const { return options_; }
    // The stored readings of the last restoreHours, oldest first; empty without a store.
    std::vector<battery::Reading> LoadRecent() const;
    // How long Shutdown keeps trying to write what the store holds while its file cannot be
    // written (held by another program, of a newer version, on a full disk).
    static constexpr std::chrono::milliseconds kStopWriteBudget{3000};
    // Finishes the writes handed over so far and closes the store (at exit). Returns what could
    // not be written and is lost: readings and alarm events held in memory while the file could
    // not be written, after trying for up to `retryFor`.
    store::Unwritten Shutdown(std::chrono::milliseconds retryFor = kStopWriteBudget);

signals:
    // The store took or stopped taking readings; `message` is one line for the operator.
    void StoreHealthChanged(bool writing, const QString& message);
    // A reading the session accepted is in the store's file, so what is shown of it from now on
    // survives a crash or a power cut. Without a store it comes at once; while the store fails
    // it comes at once too (the writer keeps the reading in memory and retries), so monitoring
    // goes on showing readings.
    void ReadingRecorded(const battery::Reading& reading);

private:
    struct AwaitingCommit {
        qint64 ordinal;  // among the readings handed to the writer, from 1
        battery::Reading reading;
    };

    void Record(const battery::Reading& reading);
    void OnCommitted(qint64 totalReadings);
    void OnWriterHealthChanged(bool writing, const QString& message);
    void RecordAlarms(const alarms::AlarmEvents& events);
    void RestoreAlarms();
    void RestoreDischarges();

    Clock& clock_;
    StationOptions options_;
    MonitorSession* session_;
    AlarmMonitor* alarms_;
    DeviceHealthWatch* health_;
    DischargeWatch* discharges_;
    alarms::AlarmEvents storedAlarmEvents_;
    std::unique_ptr<store::HistoryWriter> writer_;
    std::unique_ptr<store::RetentionTrigger> retention_;
    qint64 handedOver_ = 0;
    std::deque<AwaitingCommit> awaitingCommit_;
};
