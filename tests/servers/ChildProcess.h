#pragma once

#include <sys/types.h>

#include <QString>
#include <QStringList>
#include <chrono>

namespace testservers {

// One server process started by a test: its output goes to a log file, it may run as another
// user, and it is stopped by its PID with a deadline (then killed).
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // uid/gid < 0: keep the test's own user.
    bool Start(const QString& program, const QStringList& arguments, const QString& logFile,
               int uid = -1, int gid = -1, QString* error = nullptr);
    // Sends `signal`, waits up to `deadline` for the exit, then SIGKILL. Returns the exit status
    // as waitpid() reports it, or -1 when nothing was running.
    int Stop(int signal, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    bool Running();
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Runs a program to its end (as `uid` when >= 0); true when it exited with 0.
bool RunToEnd(const QString& program, const QStringList& arguments, const QString& logFile,
              int uid = -1, int gid = -1,
              std::chrono::milliseconds deadline = std::chrono::seconds(60));

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreeLoopbackPort();

// True once something accepts TCP connections on 127.0.0.1:port.
bool AcceptsConnections(int port);

// True once `process` accepts TCP connections on 127.0.0.1:port; false when it ended or the
// deadline passed first.
bool WaitForListening(int port, ChildProcess& process, std::chrono::milliseconds deadline);

// Makes, in `folder`, a CA of the test's own (ca.crt) and a server certificate for 127.0.0.1
// signed by it (server.crt, server.key), with openssl.
bool MakeLoopbackCertificates(const QString& folder, QString* error);

}  // namespace testservers
