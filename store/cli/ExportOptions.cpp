#include "store/cli/ExportOptions.h"

#include <QDateTime>
#include <QSysInfo>

#include "battery/BatteryId.h"
#include "store/CsvExport.h"
#include "store/DataDir.h"

namespace store {
namespace {

using config::SettingPlace;

constexpr config::Setting kExportSettings[] = {
    {"data_dir", "DIR",
     "Folder of the history store (default $XDG_DATA_HOME/batmon or ~/.local/share/batmon).",
     SettingPlace::CommandLine},
    {"from", "TIME",
     "First time included: RFC 3339 (2026-12-08T08:00:00Z) or YYYY-MM-DD (the start of that "
     "day, local time).",
     SettingPlace::CommandLine},
    {"to", "TIME", "Last time included; YYYY-MM-DD means the end of that day.",
     SettingPlace::CommandLine},
    {"device", "A0|A1", "Only this device.", SettingPlace::CommandLine},
    {"battery", "N", "Only battery N (0-7).", SettingPlace::CommandLine},
    {"alarms", nullptr, "Write the alarm events (time,device,battery,kind,state,value,user).",
     SettingPlace::CommandLine},
    {"discharge", "ID",
     "Write discharge record ID (as the window lists it) instead: CSV, or a PDF with --pdf.",
     SettingPlace::CommandLine},
    {"pdf", "FILE", "With --discharge: write the record's A4 report into FILE.",
     SettingPlace::CommandLine},
    {"site", "NAME", "The room's name in a discharge report (default: the host name).",
     SettingPlace::CommandLine},
    {"o", "FILE",
     "Write into FILE, with a UTF-8 BOM, replaced only when complete (default: "
     "standard output).",
     SettingPlace::CommandLine},
};

// A bare date in --to means up to the end of that day.
std::optional<qint64> ParseUpperBound(const QString& text) {
    const std::optional<qint64> start = ParseTimeArgument(text);
    if (!start || !IsBareDate(text)) return start;
    const QDate next = QDate::fromString(text, Qt::ISODate).addDays(1);
    return QDateTime(next, QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch() - 1;
}

}  // namespace

config::Parsed<ExportOptions> ParseExportOptions(const QStringList& arguments) {
    config::CommandLine line(
        QStringLiteral("batmon-export"), QStringLiteral("[options]"),
        QStringLiteral("Writes the history store's readings as CSV (UTF-8), in time order:\n"
                       "time,device,battery,voltage_v,temperature_c,status,status_text"),
        kExportSettings);
    config::Parsed<ExportOptions> parsed;
    if (!line.Parse(arguments, &parsed.exit)) return parsed;
    const auto refuse = [&](const QString& reason) {
        parsed.exit = {2, reason};
        return parsed;
    };
    const auto badTime = [&](const char* option, const QString& text) {
        return refuse(QStringLiteral("%1: not a time: \"%2\" (RFC 3339 or YYYY-MM-DD)")
                          .arg(QLatin1String(option), text));
    };

    ExportOptions options;
    options.alarms = line.IsSet("alarms");
    if (line.IsSet("data_dir") && line.Value("data_dir").isEmpty())
        return refuse(QStringLiteral("--data-dir names no folder"));
    if (line.IsSet("from")) {
        const std::optional<qint64> t = ParseTimeArgument(line.Value("from"));
        if (!t) return badTime("--from", line.Value("from"));
        options.filter.fromMs = *t;
    }
    if (line.IsSet("to")) {
        const std::optional<qint64> t = ParseUpperBound(line.Value("to"));
        if (!t) return badTime("--to", line.Value("to"));
        options.filter.toMs = *t;
    }
    if (line.IsSet("device")) {
        options.filter.device = battery::DeviceFromName(line.Value("device"));
        if (!options.filter.device)
            return refuse(
                QStringLiteral("--device: \"%1\" is not A0 or A1").arg(line.Value("device")));
    }
    if (line.IsSet("battery")) {
        bool ok = false;
        const int battery = line.Value("battery").toInt(&ok);
        if (!ok || battery < 0 || battery >= battery::kBatteriesPerDevice)
            return refuse(
                QStringLiteral("--battery: \"%1\" is not 0 to 7").arg(line.Value("battery")));
        options.filter.battery = static_cast<std::uint8_t>(battery);
    }
    if (line.IsSet("o")) {
        options.outputFile = line.Value("o");
        if (options.outputFile.isEmpty()) return refuse(QStringLiteral("-o names no file"));
    }
    if (line.IsSet("discharge")) {
        bool ok = false;
        options.discharge = line.Value("discharge").toLongLong(&ok);
        if (!ok || *options.discharge <= 0)
            return refuse(QStringLiteral("--discharge: \"%1\" is no record number")
                              .arg(line.Value("discharge")));
    }
    if (line.IsSet("pdf")) {
        options.pdfFile = line.Value("pdf");
        if (options.pdfFile.isEmpty()) return refuse(QStringLiteral("--pdf names no file"));
        if (!options.discharge) return refuse(QStringLiteral("--pdf needs --discharge"));
    }
    options.site = line.IsSet("site") ? line.Value("site") : QSysInfo::machineHostName();
    if (options.filter.fromMs > options.filter.toMs)
        return refuse(QStringLiteral("--from is later than --to"));
    options.dataDir = ResolveDataDir(line.Value("data_dir"));
    parsed.options = options;
    return parsed;
}

}  // namespace store
