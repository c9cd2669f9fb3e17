#pragma once

#include <QString>
#include <optional>

// Maps a port name as the operator knows it onto a device path: "COMn" (n >= 1, any case) is
// /dev/ttyS(n-1), a name starting with "/" is taken as it is, and any other name is looked up
// under /dev ("ttyUSB0" -> /dev/ttyUSB0). Names of serial device servers (see ParseTcpPortName)
// are not device paths and never reach this.
QString ResolvePortName(const QString& name);

// A serial device server reached over TCP in transparent mode: the bytes of the RS-485 line
// travel unchanged through the connection.
struct TTcpEndpoint {
    QString Host;  // host name, IPv4 address, or IPv6 address without its brackets
    quint16 Port = 0;
};

// True when `name` asks for a TCP connection ("tcp://" in any case), well formed or not.
bool IsTcpPortName(const QString& name);

// "tcp://HOST:PORT" with a host name, an IPv4 address or an IPv6 address in brackets
// ("tcp://[::1]:4196") and a port of 1..65535. Nothing for any other or malformed name.
std::optional<TTcpEndpoint> ParseTcpPortName(const QString& name);

// Why `name` can never name a port ("tcp://h:70000" is no TCP address, "/etc/passwd" is not a
// character device), or nothing when it may: a device that does not exist yet may be plugged in
// later.
std::optional<QString> PortNameProblem(const QString& name);
