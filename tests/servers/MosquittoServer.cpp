#include "tests/servers/MosquittoServer.h"

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

MosquittoServer::MosquittoServer() : m_port(FreeLoopbackPort()) {}

void MosquittoServer::writeConfig() {
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
    if (m_tlsPort > 0) {
        config.write(QStringLiteral("listener %1 127.0.0.1\ncafile %2\ncertfile %3\nkeyfile %4\n")
                         .arg(m_tlsPort)
                         .arg(caFile(), m_dir.filePath(QStringLiteral("server.crt")),
                              m_dir.filePath(QStringLiteral("server.key")))
                         .toUtf8());
    }
}

bool MosquittoServer::enableTls(QString* error, int port) {
    const QString openssl = QStringLiteral("/usr/bin/openssl");
    const QString log = m_dir.filePath(QStringLiteral("openssl.log"));
    auto path = [&](const char* name) { return m_dir.filePath(QString::fromLatin1(name)); };
    QFile extensions(path("server.ext"));
    extensions.open(QIODevice::WriteOnly);
    extensions.write("subjectAltName=IP:127.0.0.1\n");
    extensions.close();
    const QStringList key{QStringLiteral("-newkey"), QStringLiteral("ec"),
                          QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const bool ok =
        RunToEnd(openssl,
                 QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + key +
                     QStringList{QStringLiteral("-keyout"), path("ca.key"), QStringLiteral("-out"),
                                 caFile(), QStringLiteral("-days"), QStringLiteral("2"),
                                 QStringLiteral("-subj"), QStringLiteral("/CN=batmon test CA")},
                 log) &&
        RunToEnd(openssl,
                 QStringList{QStringLiteral("req")} + key +
                     QStringList{QStringLiteral("-keyout"), path("server.key"),
                                 QStringLiteral("-out"), path("server.csr"),
                                 QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")},
                 log) &&
        RunToEnd(openssl,
                 {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                  path("server.csr"), QStringLiteral("-CA"), caFile(), QStringLiteral("-CAkey"),
                  path("ca.key"), QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                  path("server.crt"), QStringLiteral("-days"), QStringLiteral("2"),
                  QStringLiteral("-extfile"), path("server.ext")},
                 log);
    if (!ok) {
        if (error) *error = QStringLiteral("could not make test certificates, see %1").arg(log);
        return false;
    }
    m_tlsPort = port > 0 ? port : FreeLoopbackPort();
    return true;
}

MosquittoServer::~MosquittoServer() { stop(); }

bool MosquittoServer::start(QString* error) {
    if (m_process.running()) return true;
    writeConfig();
    const QString config = m_dir.filePath(QStringLiteral("mosquitto.conf"));
    if (!m_process.start(QString::fromLatin1(kBroker), {QStringLiteral("-c"), config},
                         m_dir.filePath(QStringLiteral("mosquitto.log")), -1, -1, error)) {
        return false;
    }
    if (WaitForPort(m_port, m_process, std::chrono::seconds(10)) &&
        (m_tlsPort < 0 || WaitForPort(m_tlsPort, m_process, std::chrono::seconds(10)))) {
        return true;
    }
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
