#include "store/FaultText.h"

namespace store {
namespace {

// Every fault is retried, so every fault message says so.
QString Retried(const QString& message) { return message + QStringLiteral(", 每个采样周期重试"); }

}  // namespace

QString FaultMessage(SqliteFault fault, const QString& detail, const QString& dataDir) {
    switch (fault) {
        case SqliteFault::DiskFull:
            return Retried(QStringLiteral("历史记录无法写入: 磁盘已满"));
        case SqliteFault::ReadOnly:
            return Retried(QStringLiteral("历史记录无法写入: 数据文件夹 %1 只读").arg(dataDir));
        case SqliteFault::Busy:
            return Retried(QStringLiteral("历史记录无法写入: 数据文件正被另一个程序使用"));
        default:
            return Retried(QStringLiteral("历史记录无法写入: %1").arg(detail));
    }
}

QString HeldByAnotherMessage() {
    return Retried(QStringLiteral("历史记录无法写入: 数据文件正被另一个运行中的 batmon 使用"));
}

QString NewerVersionMessage(int version) {
    return Retried(
        QStringLiteral(
            "历史记录无法写入: 数据文件由更新版本的 batmon 写入 (版本 %1), 本程序不改动它")
            .arg(version));
}

QString CorruptMovedAsideMessage(const QString& asideFileName) {
    return QStringLiteral("历史记录文件已损坏, 已改名保存为 %1, 已新建历史记录文件")
        .arg(asideFileName);
}

QString CorruptNotMovedMessage(const QString& path) {
    return Retried(QStringLiteral("历史记录文件已损坏, 且无法改名保存 (%1)").arg(path));
}

QString WritingAgainMessage() { return QStringLiteral("历史记录恢复写入"); }

QString WritingAgainMessage(qint64 caughtUp) {
    return QStringLiteral("历史记录恢复写入, 已补写 %1 条").arg(caughtUp);
}

}  // namespace store
