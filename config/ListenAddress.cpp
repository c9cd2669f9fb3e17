#include "config/ListenAddress.h"

#include <algorithm>

namespace config {

std::optional<ListenAddress> ParseListenAddress(const QString& text) {
    const qsizetype colon = text.lastIndexOf(u':');
    QString host = colon < 0 ? QString() : text.left(colon);
    const QString portText = colon < 0 ? text : text.mid(colon + 1);
    // Digits only: toUInt() would also take "+80" and " 80".
    if (portText.isEmpty() || portText.size() > 5 ||
        !std::all_of(portText.begin(), portText.end(),
                     [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    const uint port = portText.toUInt();
    if (port > 65535) return std::nullopt;
    if (host.startsWith(u'[')) {
        if (host.size() < 3 || !host.endsWith(u']')) return std::nullopt;
        host = host.mid(1, host.size() - 2);
    } else if (host.contains(u':') || host.contains(u'[') || host.contains(u']')) {
        return std::nullopt;  // an IPv6 address needs its brackets
    }
    return ListenAddress{host, static_cast<quint16>(port)};
}

}  // namespace config
