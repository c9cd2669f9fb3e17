#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace store {

// `$XDG_DATA_HOME/batmon`, or `~/.local/share/batmon` when XDG_DATA_HOME is unset or not an
// absolute path.
QString DefaultDataDir();

// The folder named by `--data-dir` when given (non-empty), else the default.
QString ResolveDataDir(const QString& dataDirOption = {});

// The value of `--data-dir DIR` or `--data-dir=DIR` among program arguments, if present.
std::optional<QString> DataDirArgument(const QStringList& arguments);

QString HistoryFilePath(const QString& dataDir);  // <dir>/history.sqlite
QString LockFilePath(const QString& dataDir);     // <dir>/history.sqlite.lock

}  // namespace store
