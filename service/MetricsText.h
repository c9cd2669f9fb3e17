#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <map>
#include <optional>
#include <tuple>

#include "battery/Reading.h"
#include "engine/AnswerCounts.h"

// The history store as /metrics shows it.
struct StoreMetrics {
    bool healthy = true;
    qint64 unwrittenReadings = 0;
};

// What a station exposes to Prometheus: the latest reading and state of every battery, the
// alarms that are active, whether the devices and the bus answer, the session's request and
// answer totals, the store's health and the program's version. Rendered in the text exposition
// format, every family with its HELP and TYPE.
class StationMetrics {
public:
    explicit StationMetrics(QString version = {}) : version_(std::move(version)) {}

    // The `site` label on every series; none by default (Prometheus' scrape configuration is
    // the place for a label that every series of a target carries).
    void SetSiteLabel(std::optional<QString> site) { site_ = std::move(site); }
    void RecordReading(const battery::Reading& reading);
    void SetAlarm(std::uint8_t device, std::uint8_t battery, const QString& kind, bool active);
    void SetCounts(const AnswerCounts& counts) { counts_ = counts; }
    void SetDeviceUp(std::uint8_t device, bool up);
    // Without a store nothing of it is shown.
    void SetStore(std::optional<StoreMetrics> store) { store_ = store; }

    QByteArray Render() const;

private:
    using BatteryKey = std::tuple<std::uint8_t, std::uint8_t>;
    using AlarmKey = std::tuple<std::uint8_t, std::uint8_t, QString>;

    QString version_;
    std::optional<QString> site_;
    std::map<BatteryKey, battery::Reading> latest_;
    std::map<AlarmKey, bool> alarms_;
    AnswerCounts counts_;
    std::array<bool, 2> deviceUp_{false, false};
    std::optional<StoreMetrics> store_;
};

// A label value with backslash, double quote and line feed escaped.
QString EscapeLabelValue(const QString& value);
// A HELP text with backslash and line feed escaped.
QString EscapeHelp(const QString& help);
