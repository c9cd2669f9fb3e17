#include "collector/RefusalReport.h"

#include "config/Log.h"

RefusalReport::RefusalReport(QString what, QString counted, QtMsgType level, QObject* parent)
    : QObject(parent), what_(std::move(what)), counted_(std::move(counted)), level_(level) {
    pending_.setSingleShot(true);
    connect(&pending_, &QTimer::timeout, this, &RefusalReport::Flush);
}

void RefusalReport::Add(const QString& reason) {
    ++count_;
    latestReason_ = reason;
    if (!sinceLine_.isValid() || sinceLine_.elapsed() >= kQuietMs) {
        Flush();
    } else if (!pending_.isActive()) {
        pending_.start(int(kQuietMs - sinceLine_.elapsed()));
    }
}

void RefusalReport::Flush() {
    pending_.stop();
    if (written_ == count_) return;
    const QString line =
        QStringLiteral("%1: %2 (%3 %4 so far)").arg(what_, latestReason_).arg(count_).arg(counted_);
    if (level_ == QtCriticalMsg)
        qCCritical(CollectorLog).noquote() << line;
    else
        qCWarning(CollectorLog).noquote() << line;
    written_ = count_;
    sinceLine_.start();
}
