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
    : settings_(std::move(settings)), port_(FreeLoopbackPort()) {
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody) {
            uid_ = int(nobody->pw_uid);
            gid_ = int(nobody->pw_gid);
            if (chown(QFile::encodeName(dir_.path()).constData(), nobody->pw_uid, nobody->pw_gid) !=
                0) {
                uid_ = gid_ = -1;
            }
        }
    }
}

PostgresCluster::~PostgresCluster() { Stop(); }

QString PostgresCluster::Conninfo(const QString& database) const {
    return QStringLiteral("host=%1 port=%2 user=postgres dbname=%3 connect_timeout=5")
        .arg(dir_.path())
        .arg(port_)
        .arg(database);
}

QString PostgresCluster::Log() const {
    QFile file(dir_.filePath(QStringLiteral("postgres.log")));
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

bool PostgresCluster::Initialise(QString* error) {
    const bool ok =
        RunToEnd(kBinaries + QStringLiteral("initdb"),
                 {QStringLiteral("-D"), dir_.filePath(QStringLiteral("data")), QStringLiteral("-U"),
                  QStringLiteral("postgres"), QStringLiteral("-A"), QStringLiteral("trust"),
                  QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-locale"),
                  QStringLiteral("--no-sync")},
                 dir_.filePath(QStringLiteral("initdb.log")), uid_, gid_);
    if (!ok && error) *error = QStringLiteral("initdb failed in %1").arg(dir_.path());
    initialised_ = ok;
    return ok;
}

bool PostgresCluster::Start(QString* error) {
    if (process_.Running()) return true;
    if (!initialised_ && !Initialise(error)) return false;
    QStringList arguments{QStringLiteral("-D"), dir_.filePath(QStringLiteral("data")),
                          QStringLiteral("-p"), QString::number(port_),
                          QStringLiteral("-k"), dir_.path(),
                          QStringLiteral("-c"), QStringLiteral("listen_addresses=127.0.0.1")};
    for (const QString& setting : settings_) arguments << QStringLiteral("-c") << setting;
    if (!process_.Start(kBinaries + QStringLiteral("postgres"), arguments,
                        dir_.filePath(QStringLiteral("postgres.log")), uid_, gid_, error)) {
        return false;
    }
    const QByteArray info = Conninfo().toUtf8();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end && process_.Running()) {
        if (PQping(info.constData()) == PQPING_OK) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (error) *error = QStringLiteral("postgres did not start: ") + Log();
    process_.Stop(SIGKILL);
    return false;
}

void PostgresCluster::Stop() { process_.Stop(SIGINT, std::chrono::seconds(20)); }

void PostgresCluster::Crash() { process_.Stop(SIGQUIT, std::chrono::seconds(20)); }

}  // namespace testservers
