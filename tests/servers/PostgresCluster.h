#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "tests/servers/ChildProcess.h"

namespace testservers {

// A PostgreSQL cluster for one test, created with initdb in a temporary folder: listens on
// 127.0.0.1 on a free port and on a unix socket in that folder, runs as `nobody` when the test
// runs as root (the server refuses root), and can be stopped and started again.
class PostgresCluster {
public:
    // `settings`: extra "name=value" server settings, e.g. "fsync=off".
    explicit PostgresCluster(QStringList settings = {QStringLiteral("fsync=off")});
    ~PostgresCluster();

    // initdb on first use, then starts the server and waits until it accepts connections.
    bool Start(QString* error = nullptr);
    // Fast shutdown: open sessions are ended, committed data is kept.
    void Stop();
    // Immediate shutdown, as after a crash: the next start recovers from the WAL.
    void Crash();

    int Port() const { return port_; }
    QString Conninfo(const QString& database = QStringLiteral("postgres")) const;
    QString Log() const;

private:
    bool Initialise(QString* error);

    QTemporaryDir dir_;
    QStringList settings_;
    int port_;
    int uid_ = -1;
    int gid_ = -1;
    bool initialised_ = false;
    ChildProcess process_;
};

}  // namespace testservers
