#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <tuple>

#include "battery/Reading.h"
#include "engine/AnswerCounts.h"

// What a station exposes to Prometheus: the latest reading of every battery, the alarms that are
// active, and the session's request and answer totals. Rendered in the text exposition format.
class StationMetrics {
public:
    void SetSite(const QString& site) { site_ = site; }
    void RecordReading(const battery::Reading& reading);
    void SetAlarm(std::uint8_t device, std::uint8_t battery, const QString& kind, bool active);
    void SetCounts(const AnswerCounts& counts) { counts_ = counts; }

    QByteArray Render() const;

private:
    using BatteryKey = std::tuple<std::uint8_t, std::uint8_t>;
    using AlarmKey = std::tuple<std::uint8_t, std::uint8_t, QString>;

    QString site_;
    std::map<BatteryKey, battery::Reading> latest_;
    std::map<AlarmKey, bool> alarms_;
    AnswerCounts counts_;
};

// A label value with backslash, double quote and line feed escaped.
QString EscapeLabelValue(const QString& value);
