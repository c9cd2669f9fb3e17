#pragma once

#include <QString>
#include <QTemporaryDir>

#include "tests/servers/ChildProcess.h"

namespace testservers {

// A Mosquitto broker for one test: listens on 127.0.0.1 on a free port, keeps its persistence
// file in a temporary folder, and can be stopped (cleanly or killed) and started again on the
// same port with the same persisted sessions.
class MosquittoServer {
public:
    MosquittoServer();
    ~MosquittoServer();

    // Adds a TLS listener on a second free port (or on `port`), with certificates made for
    // 127.0.0.1 and signed by a CA of the test's own (caFile()). Call before start().
    bool enableTls(QString* error = nullptr, int port = 0);
    int tlsPort() const { return m_tlsPort; }
    QString tlsUrl() const { return QStringLiteral("mqtts://127.0.0.1:%1").arg(m_tlsPort); }
    QString caFile() const { return m_dir.filePath(QStringLiteral("ca.crt")); }

    // Starts the broker and waits until it accepts connections.
    bool start(QString* error = nullptr);
    // Clean stop: the broker writes its persistence file first.
    void stop();
    // Hard stop: nothing is written.
    void kill();

    int port() const { return m_port; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }
    QString folder() const { return m_dir.path(); }
    QString log() const;

private:
    QTemporaryDir m_dir;
    void writeConfig();

    int m_port;
    int m_tlsPort = -1;
    ChildProcess m_process;
};

}  // namespace testservers
