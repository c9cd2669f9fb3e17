#pragma once

#include <QString>
#include <optional>

namespace config {

// Where a server listens, as written: "HOST:PORT", "[IPV6]:PORT", ":PORT" or "PORT".
struct ListenAddress {
    QString host;  // a host name or an address (IPv6 without its brackets); empty when not given
    quint16 port = 0;

    bool operator==(const ListenAddress&) const = default;
};

// Nothing for a malformed address: no port, a port beyond 65535, an IPv6 address without its
// brackets, empty brackets. Each server decides whether it needs a host or takes port 0.
std::optional<ListenAddress> ParseListenAddress(const QString& text);

}  // namespace config
