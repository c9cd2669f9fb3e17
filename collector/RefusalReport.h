#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// Counts refusals of one kind and logs them without flooding the log: the first at once, then
// at most one line a second with the latest reason and the count so far. Refusals that fall
// into the quiet second are reported when it ends, so the last count always reaches the log.
//
//   "message ignored: no valid time (12 ignored so far)"
class RefusalReport : public QObject {
    Q_OBJECT
public:
    // `what` starts each line ("message ignored"); `counted` names the count ("ignored");
    // `level` is QtWarningMsg or QtCriticalMsg.
    RefusalReport(QString what, QString counted, QtMsgType level = QtWarningMsg,
                  QObject* parent = nullptr);

    void Add(const QString& reason);
    // Writes the line of refusals not reported yet, if any (at exit).
    void Flush();
    qint64 Count() const { return count_; }

    static constexpr int kQuietMs = 1000;

private:
    QString what_;
    QString counted_;
    QtMsgType level_;
    qint64 count_ = 0;
    qint64 written_ = 0;  // the count the latest line showed
    QString latestReason_;
    QElapsedTimer sinceLine_;
    QTimer pending_;
};
