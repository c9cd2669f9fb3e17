#include "service/MetricsText.h"

#include <QTextStream>
#include <utility>
#include <vector>

#include "battery/Status.h"

void StationMetrics::RecordReading(const battery::Reading& reading) {
    latest_[{reading.device, reading.battery}] = reading;
}

void StationMetrics::SetAlarm(std::uint8_t device, std::uint8_t battery, const QString& kind,
                              bool active) {
    alarms_[{device, battery, kind}] = active;
}

void StationMetrics::SetDeviceUp(std::uint8_t device, bool up) {
    if (battery::IsDevice(device))
        deviceUp_[static_cast<std::size_t>(battery::DeviceIndex(device))] = up;
}

namespace {

QString Escape(const QString& value, bool quote) {
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == u'\\')
            escaped += QStringLiteral("\\\\");
        else if (quote && c == u'"')
            escaped += QStringLiteral("\\\"");
        else if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else
            escaped += c;
    }
    return escaped;
}

using Label = std::pair<const char*, QString>;

// Writes families one after the other: each with its HELP and TYPE, then its samples, every
// sample with the site label first when there is one.
class ExpositionWriter {
public:
    ExpositionWriter(QTextStream& out, const std::optional<QString>& site)
        : out_(out), site_(site) {}

    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        out_ << "# HELP " << name << ' ' << EscapeHelp(QString::fromUtf8(help)) << '\n'
             << "# TYPE " << name << ' ' << type << '\n';
    }

    void Sample(const std::vector<Label>& labels, double value) { Sample(labels, Number(value)); }
    void Sample(const std::vector<Label>& labels, std::uint64_t value) {
        Sample(labels, QString::number(value));
    }

private:
    void Sample(const std::vector<Label>& labels, const QString& value) {
        out_ << name_;
        std::vector<Label> all;
        if (site_) all.emplace_back("site", *site_);
        all.insert(all.end(), labels.begin(), labels.end());
        for (std::size_t i = 0; i < all.size(); ++i)
            out_ << (i == 0 ? '{' : ',') << all[i].first << "=\"" << EscapeLabelValue(all[i].second)
                 << '"';
        if (!all.empty()) out_ << '}';
        out_ << ' ' << value << '\n';
    }

    static QString Number(double value) { return QString::number(value, 'g', 15); }

    QTextStream& out_;
    const std::optional<QString>& site_;
    const char* name_ = "";
};

std::vector<Label> BatteryLabels(std::uint8_t device, std::uint8_t battery) {
    return {{"device", battery::DeviceName(device)}, {"battery", QString::number(battery)}};
}

}  // namespace

QString EscapeLabelValue(const QString& value) { return Escape(value, true); }
QString EscapeHelp(const QString& help) { return Escape(help, false); }

QByteArray StationMetrics::Render() const {
    QString text;
    QTextStream out(&text);
    ExpositionWriter w(out, site_);

    w.Family("batmon_up", "gauge", "1 while the port is open and at least one device answers.");
    const bool anyDeviceUp = deviceUp_[0] || deviceUp_[1];
    w.Sample({}, anyDeviceUp ? 1.0 : 0.0);
    w.Family("batmon_device_up", "gauge",
             "1 while the device answers; 0 after three silent poll cycles or without a port.");
    for (std::size_t i = 0; i < battery::kDevices.size(); ++i)
        w.Sample({{"device", battery::DeviceName(battery::kDevices[i])}}, deviceUp_[i] ? 1.0 : 0.0);
    w.Family("batmon_build_info", "gauge", "Always 1; the version of batmon in its label.");
    w.Sample({{"version", version_}}, 1.0);

    w.Family("batmon_battery_state", "gauge",
             "1 for the battery's latest state, 0 for the others.");
    for (const auto& [key, reading] : latest_) {
        const QString current = battery::StatusKey(reading.status);
        for (const char* state : battery::kStatusKeys) {
            std::vector<Label> labels = BatteryLabels(reading.device, reading.battery);
            labels.emplace_back("state", QString::fromLatin1(state));
            w.Sample(labels, current == QLatin1String(state) ? 1.0 : 0.0);
        }
    }
    const struct {
        const char* name;
        const char* help;
        double (*value)(const battery::Reading&);
    } gauges[] = {
        {"batmon_battery_voltage_volts", "Latest voltage of the battery.",
         [](const battery::Reading& r) { return r.Volts(); }},
        {"batmon_battery_temperature_celsius", "Latest temperature of the battery.",
         [](const battery::Reading& r) { return r.Celsius(); }},
        {"batmon_battery_status",
         "Deprecated, use batmon_battery_state: latest raw status code of the battery (17 is "
         "normal).",
         [](const battery::Reading& r) { return double(r.status); }},
        {"batmon_battery_last_reading_timestamp_seconds",
         "When the battery's latest reading arrived, in seconds since the epoch.",
         [](const battery::Reading& r) { return r.tMs / 1000.0; }},
    };
    for (const auto& gauge : gauges) {
        w.Family(gauge.name, "gauge", gauge.help);
        for (const auto& [key, reading] : latest_)
            w.Sample(BatteryLabels(reading.device, reading.battery), gauge.value(reading));
    }

    w.Family("batmon_alarm_active", "gauge", "1 while the alarm of that kind is raised.");
    for (const auto& [key, active] : alarms_) {
        const auto& [device, battery, kind] = key;
        std::vector<Label> labels = BatteryLabels(device, battery);
        labels.emplace_back("kind", kind);
        w.Sample(labels, active ? 1.0 : 0.0);
    }

    w.Family("batmon_requests_total", "counter", "Poll requests sent.");
    w.Sample({}, counts_.requests);
    w.Family("batmon_answers_total", "counter", "Answers whose readings were taken.");
    w.Sample({}, counts_.accepted);
    w.Family("batmon_answer_errors_total", "counter",
             "Requests or received data that gave no usable answer, by reason: crc (damaged "
             "frame), address (answer from an address not polled), late (device block "
             "discarded), lost (no answer).");
    const std::pair<const char*, std::uint64_t> errors[] = {{"crc", counts_.crc},
                                                            {"address", counts_.address},
                                                            {"late", counts_.late},
                                                            {"lost", counts_.lost}};
    for (const auto& [reason, count] : errors)
        w.Sample({{"reason", QString::fromLatin1(reason)}}, count);

    if (store_) {
        w.Family("batmon_store_healthy", "gauge", "1 while the history store writes.");
        w.Sample({}, store_->healthy ? 1.0 : 0.0);
        w.Family("batmon_store_unwritten_readings", "gauge",
                 "Readings held in memory that the history store has not written yet.");
        w.Sample({}, static_cast<double>(store_->unwrittenReadings));
    }
    out.flush();
    return text.toUtf8();
}
