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
    bool EnableTls(QString* error = nullptr, int port = 0);
    int TlsPort() const { return tlsPort_; }
    QString TlsUrl() const { return QStringLiteral("mqtts://127.0.0.1:%1").arg(tlsPort_); }
    QString CaFile() const { return dir_.filePath(QStringLiteral("ca.crt")); }

    // Starts the broker and waits until it accepts connections.
    bool Start(QString* error = nullptr);
    // Clean stop: the broker writes its persistence file first.
    void Stop();
    // Hard stop: nothing is written.
    void Kill();

    int Port() const { return port_; }
    QString Url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(port_); }
    QString Folder() const { return dir_.path(); }
    QString Log() const;

private:
    QTemporaryDir dir_;
    void WriteConfig();

    int port_;
    int tlsPort_ = -1;
    ChildProcess process_;
};

}  // namespace testservers
