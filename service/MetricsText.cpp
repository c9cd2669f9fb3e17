#include "service/MetricsText.h"

#include <QTextStream>

void StationMetrics::RecordReading(const battery::Reading& reading) {
    latest_[{reading.device, reading.battery}] = reading;
}

void StationMetrics::SetAlarm(std::uint8_t device, std::uint8_t battery, const QString& kind,
                              bool active) {
    alarms_[{device, battery, kind}] = active;
}

QString EscapeLabelValue(const QString& value) {
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == u'\\')
            escaped += QStringLiteral("\\\\");
        else if (c == u'"')
            escaped += QStringLiteral("\\\"");
        else if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else
            escaped += c;
    }
    return escaped;
}

namespace {

void Header(QTextStream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << '\n' << "# TYPE " << name << ' ' << type << '\n';
}

QString Number(double value) { return QString::number(value, 'g', 15); }

}  // namespace

QByteArray StationMetrics::Render() const {
    QString text;
    QTextStream out(&text);
    const QString site = EscapeLabelValue(site_);
    const auto labels = [&](std::uint8_t device, std::uint8_t battery) {
        return QStringLiteral("{site=\"%1\",device=\"%2\",battery=\"%3\"}")
            .arg(site, battery::DeviceName(device))
            .arg(battery);
    };
    const struct {
        const char* name;
        const char* help;
        double (*value)(const battery::Reading&);
    } gauges[] = {
        {"batmon_battery_voltage_volts", "Latest voltage of the battery.",
         [](const battery::Reading& r) { return r.voltageDv / 10.0; }},
        {"batmon_battery_temperature_celsius", "Latest temperature of the battery.",
         [](const battery::Reading& r) { return r.temperatureDc / 10.0; }},
        {"batmon_battery_status", "Latest raw status code of the battery (17 is normal).",
         [](const battery::Reading& r) { return double(r.status); }},
        {"batmon_battery_last_reading_timestamp_seconds",
         "When the battery's latest reading arrived, in seconds since the epoch.",
         [](const battery::Reading& r) { return r.tMs / 1000.0; }},
    };
    for (const auto& gauge : gauges) {
        Header(out, gauge.name, "gauge", gauge.help);
        for (const auto& [key, reading] : latest_)
            out << gauge.name << labels(reading.device, reading.battery) << ' '
                << Number(gauge.value(reading)) << '\n';
    }

    Header(out, "batmon_alarm_active", "gauge", "1 while the alarm of that kind is raised.");
    for (const auto& [key, active] : alarms_) {
        const auto& [device, battery, kind] = key;
        QString withKind = labels(device, battery);
        withKind.insert(withKind.size() - 1,
                        QStringLiteral(",kind=\"%1\"").arg(EscapeLabelValue(kind)));
        out << "batmon_alarm_active" << withKind << ' ' << (active ? 1 : 0) << '\n';
    }

    Header(out, "batmon_requests_total", "counter", "Poll requests sent.");
    out << "batmon_requests_total{site=\"" << site << "\"} " << counts_.requests << '\n';
    Header(out, "batmon_answers_total", "counter", "Answers by outcome.");
    const std::pair<const char*, std::uint64_t> outcomes[] = {
        {"accepted", counts_.accepted}, {"crc", counts_.crc},   {"address", counts_.address},
        {"late", counts_.late},         {"lost", counts_.lost},
    };
    for (const auto& [outcome, count] : outcomes)
        out << "batmon_answers_total{site=\"" << site << "\",outcome=\"" << outcome << "\"} "
            << count << '\n';
    out.flush();
    return text.toUtf8();
}
