#include "web/ReadingsQuery.h"

#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>

#include "battery/Status.h"
#include "config/Log.h"
#include "store/CsvExport.h"
#include "store/RangeReader.h"
#include "threads/Worker.h"
#include "web/ApiJson.h"

namespace web {
namespace {

QString UtcText(qint64 tMs) { return QString::fromLatin1(store::FormatUtcMillis(tMs)); }

struct Extremes {
    double min = 0;
    double max = 0;
    double last = 0;
    qint64 lastMs = -1;
    bool any = false;

    void Add(double value, qint64 tMs) {
        min = any ? std::min(min, value) : value;
        max = any ? std::max(max, value) : value;
        if (tMs >= lastMs) {
            last = value;
            lastMs = tMs;
        }
        any = true;
    }
    QJsonObject Json() const {
        return QJsonObject{{QStringLiteral("min"), min},
                           {QStringLiteral("max"), max},
                           {QStringLiteral("last"), last}};
    }
};

struct Bucket {
    Extremes voltage;
    Extremes temperature;
    int lastStatus = battery::kStatusNormal;
    qint64 lastStatusMs = -1;
};

}  // namespace

QByteArray ReadingsJson(const ReadingsRequest& request, const ReadingsAnswer& answer) {
    QJsonObject root;
    root[QStringLiteral("device")] = battery::DeviceName(request.battery.device);
    root[QStringLiteral("battery")] = request.battery.battery;
    root[QStringLiteral("label")] = battery::BatteryLabel(request.battery);
    root[QStringLiteral("from")] = UtcText(request.fromMs);
    root[QStringLiteral("to")] = UtcText(request.toMs);
    root[QStringLiteral("reduced")] = !answer.raw;
    if (answer.raw) {
        QJsonArray readings;
        for (const store::StoredRow& row : answer.rows) {
            const auto status = static_cast<std::uint8_t>(row.status);
            readings.append(
                QJsonObject{{QStringLiteral("time"), UtcText(row.tMs)},
                            {QStringLiteral("voltage"), row.voltageDv / 10.0},
                            {QStringLiteral("temperature"), row.temperatureDc / 10.0},
                            {QStringLiteral("status"), status},
                            {QStringLiteral("status_key"), battery::StatusKey(status)}});
        }
        root[QStringLiteral("readings")] = readings;
        return Compact(root);
    }
    const ReducedBattery empty;
    const ReducedBattery& reduced =
        answer.reduced.batteries.empty() ? empty : answer.reduced.batteries.front().reduced;

    const qint64 span = std::max<qint64>(1, request.toMs - request.fromMs + 1);
    std::vector<Bucket> buckets(static_cast<std::size_t>(request.points));
    const auto indexOf = [&](qint64 tMs) {
        const qint64 offset = std::clamp<qint64>(tMs - request.fromMs, 0, span - 1);
        return static_cast<std::size_t>(offset * request.points / span);
    };
    for (const TrendSample& s : reduced.voltage) {
        Bucket& b = buckets[indexOf(s.tMs)];
        b.voltage.Add(s.Volts(), s.tMs);
        if (s.tMs >= b.lastStatusMs) {
            b.lastStatus = s.status;
            b.lastStatusMs = s.tMs;
        }
    }
    for (const TrendSample& s : reduced.temperature)
        buckets[indexOf(s.tMs)].temperature.Add(s.Celsius(), s.tMs);
    QJsonArray points;
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        const Bucket& b = buckets[i];
        if (!b.voltage.any && !b.temperature.any) continue;
        const qint64 start = request.fromMs + static_cast<qint64>(i) * span / request.points;
        QJsonObject point{{QStringLiteral("time"), UtcText(start)},
                          {QStringLiteral("status"), b.lastStatus}};
        if (b.voltage.any) point[QStringLiteral("voltage")] = b.voltage.Json();
        if (b.temperature.any) point[QStringLiteral("temperature")] = b.temperature.Json();
        points.append(point);
    }
    root[QStringLiteral("points")] = points;
    return Compact(root);
}

ReadingsQuery::ReadingsQuery(QString historyPath) : historyPath_(std::move(historyPath)) {}

ReadingsQuery::~ReadingsQuery() = default;

bool ReadingsQuery::OpenReader(QString* error) {
    if (!reader_ || !reader_->IsOpen())
        reader_ = std::make_unique<store::RangeReader>(historyPath_);
    if (reader_->IsOpen()) return true;
    *error = reader_->ErrorText();
    return false;
}

ReadingsAnswer ReadingsQuery::Read(const ReadingsRequest& request) {
    ReadingsAnswer answer;
    if (!OpenReader(&answer.error)) return answer;
    // A range that holds no more readings than points is answered with the readings: reading
    // stops as soon as one more than that has come.
    const auto limit = static_cast<std::size_t>(request.points);
    const auto outcome = reader_->Read(
        request.battery, request.fromMs, request.toMs,
        [&answer, limit](std::span<const store::StoredRow> rows) {
            if (answer.rows.size() <= limit)
                answer.rows.insert(answer.rows.end(), rows.begin(), rows.end());
        },
        [&answer, limit] { return answer.rows.size() > limit; });
    if (outcome == store::RangeReader::Outcome::Failed) {
        answer.error = reader_->ErrorText();
        return answer;
    }
    if (answer.rows.size() <= limit) {
        answer.raw = true;
        return answer;
    }
    answer.rows.clear();
    answer.rows.shrink_to_fit();
    TrendRequest trend;
    trend.batteries = {request.battery};
    trend.range = {request.fromMs, request.toMs};
    trend.columns = request.points;
    answer.reduced = ReadTrend(*reader_, trend, {}, &summaries_);
    answer.error = answer.reduced.error;
    return answer;
}

void ReadingsQuery::BuildDigests() {
    if (finished_ || building_ >= battery::kWatchedCount) return;
    if (building_ == 0 && !buildClock_.isValid()) buildClock_.start();
    QString error;
    const std::optional<bool> built =
        OpenReader(&error)
            ? BuildDigest(*reader_, battery::WatchedBattery(building_), kBuildStepRows, summaries_)
            : std::nullopt;
    if (!built) {
        // Requests still build what they need as they come.
        qCWarning(ServiceLog).noquote() << QStringLiteral("web: trend digests not built ahead: %1")
                                               .arg(error.isEmpty() ? reader_->ErrorText() : error);
        return;
    }
    if (*built) ++building_;
    if (building_ < battery::kWatchedCount) {
        threads::Post(this, [this] { BuildDigests(); });
        return;
    }
    qCInfo(ServiceLog).noquote() << QStringLiteral("web: trend digests built in %1 s (%2 MiB)")
                                        .arg(double(buildClock_.elapsed()) / 1000.0, 0, 'f', 1)
                                        .arg(double(summaries_.HeldBytes()) / (1 << 20), 0, 'f', 1);
}

void ReadingsQuery::Finish() {
    finished_ = true;
    reader_.reset();
}

}  // namespace web
