#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>

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

// Cancels one connection attempt. The component and the attempt on the connector's thread
// share it; cancelling makes a connect that is still waiting end at once.
class TConnectCancel {
public:
    TConnectCancel();
    ~TConnectCancel();
    TConnectCancel(const TConnectCancel&) = delete;
    TConnectCancel& operator=(const TConnectCancel&) = delete;

    void Cancel();
    bool Cancelled() const;
    int Fd() const { return fd_; }  // an eventfd that turns readable on Cancel, or -1

private:
    int fd_;
};

// The component's connector: runs its connection attempts one after another on a thread of its
// own (a threads::WorkerThread the component owns), so that connecting never holds up the
// component's thread. Each result goes to the component as an OpenResult notice of its open;
// a cancelled attempt reports nothing and closes what it connected.
class TTcpConnector : public QObject {
public:
    void Connect(QObject* target, std::uint32_t session, const TTcpEndpoint& endpoint,
                 const std::shared_ptr<TConnectCancel>& cancel);
};
