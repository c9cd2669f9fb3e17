#include "config/Setting.h"

namespace config {

QString OptionName(const char* key) {
    const QString name = QString::fromLatin1(key).replace(u'_', u'-');
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

}  // namespace config
