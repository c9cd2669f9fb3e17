#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <map>
#include <tuple>
#include <vector>

#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttClient.h"
#include "tests/servers/ChildProcess.h"
#include "tools/simctl/SimProcess.h"

namespace servicetest {

// The batmond program as a child process, its store and log in a temporary folder.
class BatmondProcess {
public:
    BatmondProcess();
    QString DataDir() const { return dir_.filePath(QStringLiteral("data")); }
    QString Folder() const { return dir_.path(); }
    bool Start(const QStringList& arguments);
    // Sends `signal` and returns the exit status as waitpid() reports it.
    int Stop(int signal);
    bool Running() { return process_.Running(); }
    pid_t Pid() const { return process_.Pid(); }
    QString Log() const;
    // Waits until the log holds `count` lines containing `text`.
    bool WaitForLog(const QString& text, int count = 1);

private:
    QTemporaryDir dir_;
    testservers::ChildProcess process_;
};

// Everything published under batmon/<site>/#, in arrival order, through a kept session, so
// messages the broker holds for it while it is away arrive after its return.
class Subscriber {
public:
    Subscriber(const QString& brokerUrl, const QString& site);
    bool WaitOnline();

    struct Message {
        QByteArray topic;
        QByteArray payload;
        bool retained;
    };
    const std::vector<Message>& Messages() const { return messages_; }
    // The live readings (retained copies from earlier sessions left out), each once.
    std::vector<ReadingMessage> Readings() const;
    // Readings that came again: QoS 1 delivers a message once more when a broker went away
    // before its acknowledgement, on the way in or on the way out.
    std::vector<ReadingMessage> Redelivered() const;
    std::vector<QByteArray> StatusPayloads() const;

private:
    MqttClient client_;
    QString site_;
    bool subscribed_ = false;
    std::vector<Message> messages_;
};

// One battery reading as the simulator answered it.
struct SimReading {
    int device;
    int battery;
    int status;
    int voltageRaw;
    int temperatureRaw;
    qint64 sentMs;
};
// The battery readings among a simulator's answers (steps 1..14), in the order it sent them.
std::vector<SimReading> SimReadings(const std::vector<SimLogEntry>& log);

using BatteryKey = std::tuple<int, int>;
// The readings of each battery in order: (status, voltage x10, temperature x10).
using PerBattery = std::map<BatteryKey, std::vector<std::tuple<int, int, int>>>;
PerBattery ByBattery(const std::vector<SimReading>& readings);
PerBattery ByBattery(const std::vector<ReadingMessage>& readings);

// The readings batmond wrote to its store in `dataDir`, by battery in time order.
PerBattery StoredByBattery(const QString& dataDir);

// Whether `taken` holds, for every battery, the readings the simulator runs in `runs` answered,
// in order, with none added and none doubled. A run's last answers may be missing (the
// unplugging cut them off the wire), and up to `mayMiss` others: answers the engine could not
// take (split or delayed on a loaded machine), which it counts. When batmond logged a device
// answering late or falling silent, any number may be missing.
::testing::AssertionResult TakenAsSent(const PerBattery& taken,
                                       const std::vector<std::vector<SimReading>>& runs,
                                       const QString& batmondLog, std::size_t mayMiss);

// GET http://127.0.0.1:port/metrics; the body, empty on failure.
QByteArray FetchMetrics(quint16 port);
// The body of a 200 answer to GET `path` on 127.0.0.1:`port`; empty otherwise.
QByteArray FetchHttp(quint16 port, const QByteArray& path);

}  // namespace servicetest
