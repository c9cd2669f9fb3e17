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
    bool start(QString* error = nullptr);
    // Fast shutdown: open sessions are ended, committed data is kept.
    void stop();
    // Immediate shutdown, as after a crash: the next start recovers from the WAL.
    void crash();

    int port() const { return m_port; }
    QString conninfo(const QString& database = QStringLiteral("postgres")) const;
    QString log() const;

private:
    bool initialise(QString* error);

    QTemporaryDir m_dir;
    QStringList m_settings;
    int m_port;
    int m_uid = -1;
    int m_gid = -1;
    bool m_initialised = false;
    ChildProcess m_process;
};

}  // namespace testservers
