#include "serial/PortName.h"

#include <sys/stat.h>

#include <QFile>
#include <QRegularExpression>

QString ResolvePortName(const QString& name) {
    static const QRegularExpression comPattern(QStringLiteral("^COM([0-9]+)$"),
                                               QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch com = comPattern.match(name);
    if (com.hasMatch()) {
        bool ok = false;
        const unsigned number = com.captured(1).toUInt(&ok);
        if (ok && number >= 1) return QStringLiteral("/dev/ttyS%1").arg(number - 1);
    }
    if (name.startsWith(QLatin1Char('/'))) return name;
    return QStringLiteral("/dev/") + name;
}

bool IsTcpPortName(const QString& name) {
    return name.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
}

std::optional<TTcpEndpoint> ParseTcpPortName(const QString& name) {
    // The host is either a bracketed IPv6 literal or a run without colons, brackets, slashes,
    // spaces or '@', so that nothing but a host and a port can hide in the name.
    static const QRegularExpression pattern(
        QStringLiteral(R"(^tcp://(?:\[([0-9A-Fa-f:.]+)\]|([^\s:/\[\]@]+)):([0-9]{1,5})$)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch()) return std::nullopt;
    const unsigned port = match.captured(3).toUInt();
    if (port == 0 || port > 65535) return std::nullopt;
    TTcpEndpoint endpoint;
    endpoint.Host = match.hasCaptured(1) && !match.captured(1).isEmpty() ? match.captured(1)
                                                                         : match.captured(2);
    endpoint.Port = static_cast<quint16>(port);
    return endpoint;
}

std::optional<QString> PortNameProblem(const QString& name) {
    if (name.isEmpty()) return QStringLiteral("the port name is empty");
    if (IsTcpPortName(name)) {
        if (ParseTcpPortName(name)) return std::nullopt;
        return QStringLiteral("%1 is not tcp://HOST:PORT with a port of 1 to 65535").arg(name);
    }
    const QString path = ResolvePortName(name);
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISCHR(status.st_mode))
        return QStringLiteral("%1 is not a serial port (not a character device)").arg(path);
    return std::nullopt;
}
