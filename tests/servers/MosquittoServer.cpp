#include "MosquittoServer.h"

#include <signal.h>

#include <QFile>
#include <thread>

namespace testservers {

namespace {

const char* const kBroker = "/usr/sbin/mosquitto";

bool WaitForPort(int port, ChildProcess& process, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (AcceptsConnections(port)) return true;
        if (!process.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

MosquittoServer::MosquittoServer() : m_port(FreeLoopbackPort()) {
    QFile config(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    config.open(QIODevice::WriteOnly);
    // Sessions keep every QoS 1 message for an absent client (no queue limit), and the broker
    // stays root when the test is root so that it can write its temporary folder.
    config.write(QStringLiteral("listener %1 127.0.0.1\n"
                                "allow_anonymous true\n"
                                "persistence true\n"
                                "persistence_location %2/\n"
                                "autosave_interval 0\n"
                                "max_queued_messages 0\n"
                                "user root\n"
                                "log_type error\nlog_type warning\nlog_type notice\n")
                     .arg(m_port)
                     .arg(m_dir.path())
                     .toUtf8());
}

MosquittoServer::~MosquittoServer() { stop(); }

bool MosquittoServer::start(QString* error) {
    if (m_process.running()) return true;
    const QString config = m_dir.filePath(QStringLiteral("mosquitto.conf"));
    if (!m_process.start(QString::fromLatin1(kBroker), {QStringLiteral("-c"), config},
                         m_dir.filePath(QStringLiteral("mosquitto.log")), -1, -1, error)) {
        return false;
    }
    if (WaitForPort(m_port, m_process, std::chrono::seconds(10))) return true;
    if (error) *error = QStringLiteral("mosquitto did not start: ") + log();
    m_process.stop(SIGKILL);
    return false;
}

void MosquittoServer::stop() { m_process.stop(SIGTERM); }

void MosquittoServer::kill() { m_process.stop(SIGKILL); }

QString MosquittoServer::log() const {
    QFile file(m_dir.filePath(QStringLiteral("mosquitto.log")));
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

}  // namespace testservers
