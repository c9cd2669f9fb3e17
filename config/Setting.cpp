#include "config/Setting.h"

#include <QFileInfo>

namespace config {

QString OptionKey(const char* key) { return QString::fromLatin1(key).replace(u'_', u'-'); }

QString OptionName(const char* key) {
    const QString name = OptionKey(key);
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

std::optional<QString> ReadableFileProblem(const QString& path) {
    const QFileInfo file(path);
    if (!file.exists()) return QStringLiteral("%1 does not exist").arg(path);
    if (!file.isFile()) return QStringLiteral("%1 is not a file").arg(path);
    if (!file.isReadable()) return QStringLiteral("%1 cannot be read (no permission)").arg(path);
    return std::nullopt;
}

}  // namespace config
