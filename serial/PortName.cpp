#include "serial/PortName.h"

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
