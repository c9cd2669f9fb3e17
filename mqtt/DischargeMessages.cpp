#include "mqtt/DischargeMessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "battery/BatteryId.h"
#include "mqtt/BatmonMessages.h"

namespace {

// Voltages and temperatures a device's registers can carry, with room for differences.
constexpr double kLargestMeasure = 10'000;

QJsonValue Time(const std::optional<std::int64_t>& ms) {
    return ms ? QJsonValue(FormatUtcTime(*ms)) : QJsonValue(QJsonValue::Null);
}

QJsonObject WeakestObject(const alarms::BatteryDischarge& weakest) {
    return {{QStringLiteral("battery"), weakest.battery.battery},
            {QStringLiteral("label"), battery::BatteryLabel(weakest.battery)},
            {QStringLiteral("voltage"), weakest.minV}};
}

QByteArray Compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<QStringList> Levels(const QByteArray& topic, qsizetype count) {
    const QStringList levels = QString::fromUtf8(topic).split(u'/');
    if (levels.size() != count || levels[0] != u"batmon" || !IsValidSiteName(levels[1]))
        return std::nullopt;
    return levels;
}

std::optional<double> Measure(const QJsonValue& value) {
    if (!value.isDouble() || !std::isfinite(value.toDouble()) ||
        std::fabs(value.toDouble()) > kLargestMeasure)
        return std::nullopt;
    return value.toDouble();
}

std::optional<DischargeSummary> Fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return std::nullopt;
}

}  // namespace

QByteArray DischargeStateTopic(const QString& site, int device) {
    const QString name = DeviceTopicName(device);
    if (!IsValidSiteName(site) || name.isEmpty()) return {};
    return QStringLiteral("batmon/%1/%2/discharge").arg(site, name).toUtf8();
}

QByteArray DischargeStatePayload(const alarms::DischargeRecord* running) {
    if (!running) return Compact({{QStringLiteral("state"), QStringLiteral("idle")}});
    QJsonObject object{{QStringLiteral("state"), QStringLiteral("running")},
                       {QStringLiteral("start"), FormatUtcTime(running->startMs)}};
    if (const alarms::BatteryDischarge* weakest = running->Weakest())
        object.insert(QStringLiteral("weakest"), WeakestObject(*weakest));
    return Compact(object);
}

bool IsDischargeStateTopic(const QByteArray& topic) {
    const std::optional<QStringList> levels = Levels(topic, 4);
    return levels && (*levels)[3] == u"discharge";
}

QByteArray DischargeSummaryTopic(const QString& site, int device) {
    const QByteArray state = DischargeStateTopic(site, device);
    return state.isEmpty() ? state : state + "/summary";
}

QJsonObject DischargeRecordObject(const alarms::DischargeRecord& ended, std::int64_t endMs) {
    QJsonObject object{{QStringLiteral("device"), DeviceTopicName(ended.device)},
                       {QStringLiteral("start"), FormatUtcTime(ended.startMs)},
                       {QStringLiteral("end"), FormatUtcTime(endMs)},
                       {QStringLiteral("duration_s"), ended.DurationMs(endMs) / 1000.0},
                       {QStringLiteral("end_voltage"), ended.endVoltageV}};
    if (const alarms::BatteryDischarge* weakest = ended.Weakest())
        object.insert(QStringLiteral("weakest"), WeakestObject(*weakest));
    if (const std::optional<alarms::CapacityResult> capacity = ended.Capacity(endMs)) {
        object.insert(QStringLiteral("capacity"),
                      QJsonObject{{QStringLiteral("required_s"), capacity->requiredMs / 1000.0},
                                  {QStringLiteral("actual_s"), capacity->actualMs / 1000.0},
                                  {QStringLiteral("reached"), capacity->reached},
                                  {QStringLiteral("percent"), capacity->percent}});
    }
    QJsonArray batteries;
    for (const alarms::BatteryDischarge& b : ended.batteries) {
        batteries.append(QJsonObject{{QStringLiteral("battery"), b.battery.battery},
                                     {QStringLiteral("label"), battery::BatteryLabel(b.battery)},
                                     {QStringLiteral("start_voltage"), b.startV},
                                     {QStringLiteral("min_voltage"), b.minV},
                                     {QStringLiteral("end_reached"), Time(b.endReachedMs)},
                                     {QStringLiteral("max_temperature"), b.maxTemperatureC},
                                     {QStringLiteral("deviation"), b.deviationV}});
    }
    object.insert(QStringLiteral("batteries"), batteries);
    return object;
}

QByteArray DischargeSummaryPayload(const alarms::DischargeRecord& ended) {
    return Compact(DischargeRecordObject(ended, ended.endMs.value_or(ended.startMs)));
}

std::optional<DischargeSummary> ParseDischargeSummary(const QByteArray& topic,
                                                      const QByteArray& payload, QString* error) {
    const std::optional<QStringList> levels = Levels(topic, 5);
    if (!levels || (*levels)[3] != u"discharge" || (*levels)[4] != u"summary")
        return Fail(error, QStringLiteral("unexpected topic"));
    const std::optional<std::uint8_t> device = battery::DeviceFromName((*levels)[2]);
    if (!device || (*levels)[2] != battery::DeviceName(*device))
        return Fail(error, QStringLiteral("unexpected topic"));
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &parseError);
    if (!document.isObject()) return Fail(error, QStringLiteral("payload is no JSON object"));
    const QJsonObject object = document.object();

    DischargeSummary summary;
    summary.site = (*levels)[1];
    alarms::DischargeRecord& record = summary.record;
    record.device = *device;
    const std::optional<qint64> start = ParseUtcTime(object.value(u"start").toString());
    const std::optional<qint64> end = ParseUtcTime(object.value(u"end").toString());
    const std::optional<double> endVoltage = Measure(object.value(u"end_voltage"));
    if (!start || !end || *end < *start) return Fail(error, QStringLiteral("no valid times"));
    if (!endVoltage) return Fail(error, QStringLiteral("no valid end voltage"));
    record.startMs = *start;
    record.endMs = *end;
    record.endVoltageV = *endVoltage;
    if (object.contains(u"capacity")) {
        const QJsonValue required = object.value(u"capacity").toObject().value(u"required_s");
        if (!required.isDouble() || !(required.toDouble() > 0) || required.toDouble() > 1e9)
            return Fail(error, QStringLiteral("no valid capacity"));
        record.requiredMs = std::llround(required.toDouble() * 1000);
    }
    for (const QJsonValue value : object.value(u"batteries").toArray()) {
        const QJsonObject b = value.toObject();
        const int number = b.value(u"battery").toInt(-1);
        const auto startV = Measure(b.value(u"start_voltage"));
        const auto minV = Measure(b.value(u"min_voltage"));
        const auto maxT = Measure(b.value(u"max_temperature"));
        const auto deviation = Measure(b.value(u"deviation"));
        if (number < 0 || number >= battery::kBatteriesPerDevice || !startV || !minV || !maxT ||
            !deviation)
            return Fail(error, QStringLiteral("no valid battery"));
        alarms::BatteryDischarge entry{
            {*device, static_cast<std::uint8_t>(number)}, *startV, *minV, {}, *maxT, *deviation};
        if (!b.value(u"end_reached").isNull()) {
            entry.endReachedMs = ParseUtcTime(b.value(u"end_reached").toString());
            if (!entry.endReachedMs) return Fail(error, QStringLiteral("no valid end_reached"));
        }
        record.batteries.push_back(entry);
    }
    const QJsonValue weakest = object.value(u"weakest").toObject().value(u"battery");
    if (weakest.isDouble()) {
        const battery::BatteryId id{*device, static_cast<std::uint8_t>(weakest.toInt())};
        if (const alarms::BatteryDischarge* entry = record.Find(id); entry && entry->endReachedMs)
            record.firstAtEnd = id;
    }
    return summary;
}
