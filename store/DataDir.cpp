#include "store/DataDir.h"

#include <QDir>

namespace store {

QString DefaultDataDir() {
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) return QDir(xdg).filePath("batmon");
    return QDir(QDir::homePath()).filePath(".local/share/batmon");
}

QString ResolveDataDir(const QString& dataDirOption) {
    if (!dataDirOption.isEmpty()) return QDir::cleanPath(dataDirOption);
    return DefaultDataDir();
}

std::optional<QString> DataDirArgument(const QStringList& arguments) {
    static const QString kOption = QStringLiteral("--data-dir");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == kOption && i + 1 < arguments.size()) return arguments[i + 1];
        if (arg.startsWith(kOption + u'=')) return arg.mid(kOption.size() + 1);
    }
    return std::nullopt;
}

QString HistoryFilePath(const QString& dataDir) {
    return QDir(dataDir).filePath(QStringLiteral("history.sqlite"));
}

QString LockFilePath(const QString& dataDir) {
    return QDir(dataDir).filePath(QStringLiteral("history.sqlite.lock"));
}

}  // namespace store
