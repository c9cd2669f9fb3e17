#pragma once

#include <QString>

#include "store/Schema.h"

// The one-line messages the writer gives the operator about its file.
namespace store {

// A write that failed for `fault`; `detail` is SQLite's own text, for faults without a message
// of their own.
QString FaultMessage(SqliteFault fault, const QString& detail, const QString& dataDir);
QString HeldByAnotherMessage();
QString NewerVersionMessage(int version);
QString CorruptMovedAsideMessage(const QString& asideFileName);
QString CorruptNotMovedMessage(const QString& path);
QString WritingAgainMessage();
QString WritingAgainMessage(qint64 caughtUp);

}  // namespace store
