#pragma once

#include <QLoggingCategory>

// The programs' log: one line per event on standard error, written through Qt's message
// handler, one logging category per area so that QT_LOGGING_RULES can quiet an area
// ("batmon.mqtt.info=false"). Lines are written with their level:
//
//   qCCritical  an error    (journald priority 3)
//   qCWarning   a warning   (4)
//   qCInfo      a notice: a normal but significant event, such as a port opened (5)
//   qCDebug     detail, off unless a rule turns it on (7)
//
// Write a line as `qCWarning(SerialLog).noquote() << text`: the text is the whole line.

Q_DECLARE_LOGGING_CATEGORY(ServiceLog)    // batmon.service: start, stop, device health, alarms
Q_DECLARE_LOGGING_CATEGORY(SerialLog)     // batmon.serial: the bus's port opened, lost, retried
Q_DECLARE_LOGGING_CATEGORY(StoreLog)      // batmon.store: the history store's faults and recovery
Q_DECLARE_LOGGING_CATEGORY(MqttLog)       // batmon.mqtt: the broker connected and lost
Q_DECLARE_LOGGING_CATEGORY(CollectorLog)  // batmon.collector: the database and messages
Q_DECLARE_LOGGING_CATEGORY(ConfigLog)     // batmon.config: options and configuration files
Q_DECLARE_LOGGING_CATEGORY(SimLog)        // batmon.sim: the simulated bus's clients and port

namespace config {

enum class LogStyle {
    // For services under systemd: each line starts with its syslog priority ("<5>port opened:
    // ttyUSB0"), which journald turns into the line's priority.
    Journal,
    // For programs run by hand: the line as it is. Qt's own messages keep their category in
    // front ("qt.qpa.xcb: ...").
    Plain,
};

// Sends every message of the process to standard error in `style`, one write per line.
void InstallLogHandler(LogStyle style);

// The line written for a message, as InstallLogHandler's handler writes it (without the newline).
QByteArray FormatLogLine(LogStyle style, QtMsgType type, const char* category,
                         const QString& message);

}  // namespace config
