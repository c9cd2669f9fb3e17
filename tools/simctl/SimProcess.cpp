#include "tools/simctl/SimProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>

namespace {

QString SimExecutable() {
    const QString fromEnvironment = qEnvironmentVariable("BATMON_SIM");
    return fromEnvironment.isEmpty() ? QStringLiteral(BATMON_SIM_DEFAULT_PATH) : fromEnvironment;
}

int IntField(const QJsonObject& object, const char* name) {
    const QJsonValue value = object.value(QLatin1String(name));
    return value.isDouble() ? value.toInt() : -1;
}

}  // namespace

bool SimLogEntry::HasFault(const QString& name) const {
    return fault.split(u',', Qt::SkipEmptyParts).contains(name);
}

SimProcess::SimProcess() = default;

SimProcess::~SimProcess() { Stop(); }

QString SimProcess::LogPath() const { return dir_.filePath(QStringLiteral("sim-log.jsonl")); }

bool SimProcess::IsRunning() const { return process_ && process_->state() != QProcess::NotRunning; }

bool SimProcess::Start(const QStringList& options, std::chrono::milliseconds timeout) {
    Stop();
    portPath_.clear();
    error_.clear();
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary directory: ") + dir_.errorString();
        return false;
    }
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::SeparateChannels);
    process_->start(SimExecutable(), QStringList(options) << QStringLiteral("--log") << LogPath());
    if (!process_->waitForStarted(static_cast<int>(timeout.count()))) {
        error_ = SimExecutable() + QStringLiteral(": ") + process_->errorString();
        return false;
    }
    // Blocking on the process output is enough here: nothing else needs the event loop while
    // the sim sets up its port.
    const QDeadlineTimer deadline(timeout);
    QByteArray output;
    while (!deadline.hasExpired()) {
        output += process_->readAllStandardOutput();
        for (qsizetype end = output.indexOf('\n'); end >= 0; end = output.indexOf('\n')) {
            const QByteArray line = output.left(end).trimmed();
            output.remove(0, end + 1);
            if (line.startsWith("PORT ")) {
                portPath_ = QString::fromLocal8Bit(line.mid(5));
                return true;
            }
        }
        if (process_->state() == QProcess::NotRunning) break;
        process_->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    error_ = QStringLiteral("batmon-sim did not report its port: ") +
             QString::fromLocal8Bit(process_->readAllStandardError());
    Kill();
    return false;
}

bool SimProcess::StartTcp(const QStringList& options, quint16 port,
                          std::chrono::milliseconds timeout) {
    return Start(QStringList(options)
                     << QStringLiteral("--tcp-listen") << QStringLiteral("127.0.0.1:%1").arg(port),
                 timeout);
}

quint16 SimProcess::TcpPort() const {
    if (!portPath_.startsWith(QLatin1String("tcp://"))) return 0;
    return static_cast<quint16>(portPath_.section(u':', -1).toUInt());
}

std::vector<SimLogEntry> SimProcess::ReadLog() const {
    std::vector<SimLogEntry> entries;
    QFile file(LogPath());
    if (!file.open(QIODevice::ReadOnly)) return entries;
    // The sim flushes whole lines; a line still being written has no newline yet and is skipped.
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.isEmpty()) continue;
        SimLogEntry entry;
        entry.tUs = object.value(QLatin1String("t_us")).toInteger();
        entry.monoUs = object.value(QLatin1String("mono_us")).toInteger();
        entry.dir = object.value(QLatin1String("dir")).toString();
        entry.bytes = QByteArray::fromHex(object.value(QLatin1String("hex")).toString().toLatin1());
        entry.device = IntField(object, "device");
        entry.function = IntField(object, "function");
        entry.registerAddress = IntField(object, "register");
        entry.status = IntField(object, "status");
        entry.voltageRaw = IntField(object, "voltage_raw");
        entry.temperatureRaw = IntField(object, "temperature_raw");
        entry.exception = IntField(object, "exception");
        entry.fault = object.value(QLatin1String("fault")).toString();
        entries.push_back(entry);
    }
    return entries;
}

void SimProcess::Kill() {
    if (!IsRunning()) return;
    process_->kill();
    process_->waitForFinished(5000);
}

void SimProcess::Stop() {
    if (!IsRunning()) return;
    process_->terminate();
    if (!process_->waitForFinished(5000)) Kill();
}
