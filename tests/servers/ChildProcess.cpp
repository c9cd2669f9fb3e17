#include "tests/servers/ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <thread>
#include <vector>

namespace testservers {

namespace {

using Clock = std::chrono::steady_clock;

// Reaps the child if it has ended; the status through `status`.
bool Reaped(pid_t pid, int* status) { return waitpid(pid, status, WNOHANG) == pid; }

int WaitForExit(pid_t pid, std::chrono::milliseconds deadline) {
    int status = 0;
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
        if (Reaped(pid, &status)) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling a child's exit
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

pid_t Spawn(const QString& program, const QStringList& arguments, const QString& logFile, int uid,
            int gid) {
    std::vector<QByteArray> storage{program.toLocal8Bit()};
    for (const QString& a : arguments) storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const QByteArray log = logFile.toLocal8Bit();

    const pid_t pid = fork();
    if (pid != 0) return pid;
    // In the child: only async-signal-safe calls until exec.
    const int fd = open(log.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
    }
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    setpgid(0, 0);  // a terminal's Ctrl-C on the test run does not reach the server first
    if (gid >= 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(gid)) != 0)) _exit(126);
    if (uid >= 0 && setuid(uid_t(uid)) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
}

}  // namespace

ChildProcess::~ChildProcess() { Stop(SIGKILL, std::chrono::seconds(5)); }

bool ChildProcess::Start(const QString& program, const QStringList& arguments,
                         const QString& logFile, int uid, int gid, QString* error) {
    if (Running()) return true;
    pid_ = Spawn(program, arguments, logFile, uid, gid);
    if (pid_ < 0) {
        if (error) *error = QStringLiteral("fork failed");
        return false;
    }
    return true;
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds deadline) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    const int status = WaitForExit(pid_, deadline);
    pid_ = -1;
    return status;
}

bool ChildProcess::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (Reaped(pid_, &status)) {
        pid_ = -1;
        return false;
    }
    return true;
}

bool RunToEnd(const QString& program, const QStringList& arguments, const QString& logFile, int uid,
              int gid, std::chrono::milliseconds deadline) {
    const pid_t pid = Spawn(program, arguments, logFile, uid, gid);
    if (pid < 0) return false;
    int status = 0;
    const auto end = Clock::now() + deadline;
    while (!Reaped(pid, &status)) {
        if (Clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    int port = -1;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool AcceptsConnections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

bool WaitForListening(int port, ChildProcess& process, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (AcceptsConnections(port)) return true;
        if (!process.Running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool MakeLoopbackCertificates(const QString& folder, QString* error) {
    const QDir dir(folder);
    const QString openssl = QStringLiteral("/usr/bin/openssl");
    const QString log = dir.filePath(QStringLiteral("openssl.log"));
    auto path = [&](const char* name) { return dir.filePath(QString::fromLatin1(name)); };
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
                                 path("ca.crt"), QStringLiteral("-days"), QStringLiteral("2"),
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
                  path("server.csr"), QStringLiteral("-CA"), path("ca.crt"),
                  QStringLiteral("-CAkey"), path("ca.key"), QStringLiteral("-CAcreateserial"),
                  QStringLiteral("-out"), path("server.crt"), QStringLiteral("-days"),
                  QStringLiteral("2"), QStringLiteral("-extfile"), path("server.ext")},
                 log);
    if (!ok) {
        if (error) *error = QStringLiteral("could not make test certificates, see %1").arg(log);
        return false;
    }
    return true;
}

}  // namespace testservers
