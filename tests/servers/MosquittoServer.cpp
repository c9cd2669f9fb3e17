#include "tests/servers/MosquittoServer.h"

#include <signal.h>

#include <QFile>
#include <thread>

namespace testservers {

namespace {

const char* const kBroker = "/usr/sbin/mosquitto";

}  // namespace

MosquittoServer::MosquittoServer() : port_(FreeLoopbackPort()) {}

void MosquittoServer::WriteConfig() {
    QFile config(dir_.filePath(QStringLiteral("mosquitto.conf")));
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
                     .arg(port_)
                     .arg(dir_.path())
                     .toUtf8());
    if (tlsPort_ > 0) {
        config.write(QStringLiteral("listener %1 127.0.0.1\ncafile %2\ncertfile %3\nkeyfile %4\n")
                         .arg(tlsPort_)
                         .arg(CaFile(), dir_.filePath(QStringLiteral("server.crt")),
                              dir_.filePath(QStringLiteral("server.key")))
                         .toUtf8());
    }
}

bool MosquittoServer::EnableTls(QString* error, int port) {
    if (!MakeLoopbackCertificates(dir_.path(), error)) return false;
    tlsPort_ = port > 0 ? port : FreeLoopbackPort();
    return true;
}

MosquittoServer::~MosquittoServer() { Stop(); }

bool MosquittoServer::Start(QString* error) {
    if (process_.Running()) return true;
    WriteConfig();
    const QString config = dir_.filePath(QStringLiteral("mosquitto.conf"));
    if (!process_.Start(QString::fromLatin1(kBroker), {QStringLiteral("-c"), config},
                        dir_.filePath(QStringLiteral("mosquitto.log")), -1, -1, error)) {
        return false;
    }
    if (WaitForListening(port_, process_, std::chrono::seconds(10)) &&
        (tlsPort_ < 0 || WaitForListening(tlsPort_, process_, std::chrono::seconds(10)))) {
        return true;
    }
    if (error) *error = QStringLiteral("mosquitto did not start: ") + Log();
    process_.Stop(SIGKILL);
    return false;
}

void MosquittoServer::Stop() { process_.Stop(SIGTERM); }

void MosquittoServer::Kill() { process_.Stop(SIGKILL); }

QString MosquittoServer::Log() const {
    QFile file(dir_.filePath(QStringLiteral("mosquitto.log")));
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

}  // namespace testservers
