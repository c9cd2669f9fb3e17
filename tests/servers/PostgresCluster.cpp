#include "tests/servers/PostgresCluster.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <thread>

namespace testservers {

namespace {

const QString kBinaries = QStringLiteral("/usr/lib/postgresql/15/bin/");

}  // namespace

PostgresCluster::PostgresCluster(QStringList settings)
    : m_settings(std::move(settings)), m_port(FreeLoopbackPort()) {
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody) {
            m_uid = int(nobody->pw_uid);
            m_gid = int(nobody->pw_gid);
            if (chown(QFile::encodeName(m_dir.path()).constData(), nobody->pw_uid,
                      nobody->pw_gid) != 0) {
                m_uid = m_gid = -1;
            }
        }
    }
}

PostgresCluster::~PostgresCluster() { stop(); }

QString PostgresCluster::conninfo(const QString& database) const {
    return QStringLiteral("host=%1 port=%2 user=postgres dbname=%3 connect_timeout=5")
        .arg(m_dir.path())
        .arg(m_port)
        .arg(database);
}

QString PostgresCluster::log() const {
    QFile file(m_dir.filePath(QStringLiteral("postgres.log")));
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

bool PostgresCluster::initialise(QString* error) {
    const bool ok =
        RunToEnd(kBinaries + QStringLiteral("initdb"),
                 {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")),
                  QStringLiteral("-U"), QStringLiteral("postgres"), QStringLiteral("-A"),
                  QStringLiteral("trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                  QStringLiteral("--no-locale"), QStringLiteral("--no-sync")},
                 m_dir.filePath(QStringLiteral("initdb.log")), m_uid, m_gid);
    if (!ok && error) *error = QStringLiteral("initdb failed in %1").arg(m_dir.path());
    m_initialised = ok;
    return ok;
}

bool PostgresCluster::start(QString* error) {
    if (m_process.running()) return true;
    if (!m_initialised && !initialise(error)) return false;
    QStringList arguments{QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")),
                          QStringLiteral("-p"), QString::number(m_port),
                          QStringLiteral("-k"), m_dir.path(),
                          QStringLiteral("-c"), QStringLiteral("listen_addresses=127.0.0.1")};
    for (const QString& setting : m_settings) arguments << QStringLiteral("-c") << setting;
    if (!m_process.start(kBinaries + QStringLiteral("postgres"), arguments,
                         m_dir.filePath(QStringLiteral("postgres.log")), m_uid, m_gid, error)) {
        return false;
    }
    const QByteArray info = conninfo().toUtf8();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end && m_process.running()) {
        if (PQping(info.constData()) == PQPING_OK) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (error) *error = QStringLiteral("postgres did not start: ") + log();
    m_process.stop(SIGKILL);
    return false;
}

void PostgresCluster::stop() { m_process.stop(SIGINT, std::chrono::seconds(20)); }

void PostgresCluster::crash() { m_process.stop(SIGQUIT, std::chrono::seconds(20)); }

}  // namespace testservers
