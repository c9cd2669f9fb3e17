#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <memory>

#include "battery/BatteryId.h"
#include "store/RangeReader.h"
#include "trend/TrendQuery.h"

namespace web {

// One battery over a range, reduced to at most `points` buckets.
struct ReadingsRequest {
    battery::BatteryId battery;
    qint64 fromMs = 0;
    qint64 toMs = 0;
    int points = 1000;
};

// What ReadingsQuery read: the range's readings themselves when there are no more than the
// points asked for, else their reduction.
struct ReadingsAnswer {
    bool raw = false;
    std::vector<store::StoredRow> rows;  // when raw
    TrendResult reduced;                 // otherwise
    QString error;
};

// The answer of GET /api/v1/readings: the trend page's min/max reduction (TrendQuery's
// ReadTrend, with its ten-minute digests) grouped into `points` equal buckets, each with its
// start, the lowest and highest voltage and temperature among the readings the reduction kept,
// and the last of them; or the readings themselves when the range holds no more than `points`.
QByteArray ReadingsJson(const ReadingsRequest& request, const ReadingsAnswer& answer);

// Reads trend requests with a range reader and digests of its own, kept between requests, on
// the worker thread it lives on (threads::WorkerThread).
class ReadingsQuery : public QObject {
    Q_OBJECT
public:
    // Rows read per step while building the digests: a request that comes meanwhile waits for
    // one step at most (some tens of milliseconds).
    static constexpr qint64 kBuildStepRows = 20'000;

    explicit ReadingsQuery(QString historyPath);
    ~ReadingsQuery() override;

    ReadingsAnswer Read(const ReadingsRequest& request);
    // Builds the digests of every battery in steps, each posted behind the requests that came
    // meanwhile, so that the first request over a long range is as fast as the next ones.
    void BuildDigests();
    void Finish();

private:
    bool OpenReader(QString* error);

    QString historyPath_;
    std::unique_ptr<store::RangeReader> reader_;
    TrendSummaries summaries_;
    int building_ = 0;  // WatchedBattery index whose digests are being built
    QElapsedTimer buildClock_;
    bool finished_ = false;
};

}  // namespace web
