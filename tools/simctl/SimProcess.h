#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <vector>

// One line of batmon-sim's traffic log. Numeric fields that a line does not carry are -1.
struct SimLogEntry {
    qint64 tUs = 0;     // CLOCK_REALTIME, microseconds
    qint64 monoUs = 0;  // CLOCK_MONOTONIC, microseconds
    QString dir;        // "rx", "tx" or "drop"
    QByteArray bytes;
    int device = -1;
    int function = -1;
    int registerAddress = -1;
    int status = -1;
    int voltageRaw = -1;
    int temperatureRaw = -1;
    int exception = -1;
    QString fault;  // comma-separated fault names, empty when none

    bool HasFault(const QString& name) const;
};

// Runs batmon-sim for a test: starts it with the given options and a private log file, waits
// for the port it opened, and stops it again when destroyed. The executable comes from the
// environment variable BATMON_SIM, else from the build tree.
class SimProcess {
public:
    SimProcess();
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the sim and waits until it has printed its port. False (see ErrorText()) when it
    // could not be started, exited, or stayed silent past `timeout`.
    bool Start(const QStringList& options = {},
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Starts the sim serving its bus over TCP on 127.0.0.1:`port` (0: any free port), the way a
    // serial device server would; PortPath() is then "tcp://127.0.0.1:<port>".
    bool StartTcp(const QStringList& options = {}, quint16 port = 0,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The name the monitoring program opens: a pseudo-terminal path or a tcp:// name.
    QString PortPath() const { return portPath_; }
    // The TCP port of a sim started with StartTcp, 0 otherwise.
    quint16 TcpPort() const;
    QString LogPath() const;
    QString ErrorText() const { return error_; }
    bool IsRunning() const;

    std::vector<SimLogEntry> ReadLog() const;

    // SIGKILL: the port vanishes at once, as when a bus adapter is unplugged.
    void Kill();
    // SIGTERM and wait for a clean exit (SIGKILL if it does not come).
    void Stop();

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    QString portPath_;
    QString error_;
};
