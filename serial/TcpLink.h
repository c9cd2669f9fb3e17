#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "serial/PortName.h"

// The TCP side of a port opened as "tcp://HOST:PORT": a serial device server in transparent
// mode. Once connected, the socket is driven by the same reader and writer threads as a tty.

// How long resolving and connecting together may take.
inline constexpr std::chrono::milliseconds kTcpConnectTimeout{3000};

// Reasons a connection attempt ends without a connection.
inline const char* const kReasonRefused = "连接被拒绝";
inline const char* const kReasonTimedOut = "连接超时";
inline const char* const kReasonBadName = "端口名无效 (应为 tcp://主机:端口)";
inline const char* const kReasonCancelled = "连接已取消";

struct TTcpConnectResult {
    int Fd = -1;     // connected, non-blocking socket above the standard streams, or -1
    QString Reason;  // why not, when Fd is -1
};

// Resolves the endpoint and connects to the first of its addresses that accepts, all within
// `timeout`. Gives up at once when `cancelFd` (an eventfd, or -1 for none) becomes readable.
// Name resolution itself cannot be interrupted: it is bounded by the resolver's own limits.
TTcpConnectResult ConnectTcp(const TTcpEndpoint& endpoint, std::chrono::milliseconds timeout,
                             int cancelFd = -1);

// Socket options of a connected link: no small-packet delay (a request goes out as soon as it
// is written) and short keep-alive probing, plus a limit on unacknowledged data, so that a
// server that vanished without closing is noticed within about eleven seconds whether the link
// is idle or busy sending requests.
void ConfigureTcpLink(int fd);

// One connection attempt on a thread of its own. The thread outlives the attempt's owner if it
// must (name resolution cannot be interrupted), so owner and thread share this object: the
// owner abandons it, after which the thread posts nothing and closes what it connected.
class TConnectAttempt : public std::enable_shared_from_this<TConnectAttempt> {
public:
    // The result is posted to `target` as an OpenResult notice of `session`.
    TConnectAttempt(QObject* target, std::uint32_t session, TTcpEndpoint endpoint);
    ~TConnectAttempt();
    TConnectAttempt(const TConnectAttempt&) = delete;
    TConnectAttempt& operator=(const TConnectAttempt&) = delete;

    // Starts the thread; throws std::system_error when it cannot be created.
    void Start();
    // From the owner's thread: no notice is posted after this returns, and a connect still
    // waiting ends at once.
    void Abandon();

private:
    void Run();

    std::mutex mutex_;
    QObject* target_;  // null once abandoned
    const std::uint32_t session_;
    const TTcpEndpoint endpoint_;
    int cancelFd_ = -1;
};
