#include "store/cli/ExportOptions.h"

#include <QDateTime>

#include "store/CsvExport.h"
#include "store/DataDir.h"

namespace store {
namespace {

// A bare date in --to means up to the end of that day.
std::optional<qint64> ParseUpperBound(const QString& text) {
    const std::optional<qint64> start = ParseTimeArgument(text);
    if (!start || !IsBareDate(text)) return start;
    const QDate next = QDate::fromString(text, Qt::ISODate).addDays(1);
    return QDateTime(next, QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch() - 1;
}

}  // namespace

QString ExportUsage() {
    return QStringLiteral(
        "用法: batmon-export [--data-dir DIR] [--from TIME] [--to TIME] [--device A0|A1]\n"
        "                    [--battery N] [--alarms] [-o FILE]\n"
        "把历史记录导出为 CSV (UTF-8; 写入文件时带 BOM).\n"
        "  --data-dir DIR   数据文件夹 (默认 $XDG_DATA_HOME/batmon 或 ~/.local/share/batmon)\n"
        "  --from TIME      起始时间 (含), RFC 3339 (2026-12-08T08:00:00Z) 或 YYYY-MM-DD "
        "(本地时间当天 0 点)\n"
        "  --to TIME        结束时间 (含); YYYY-MM-DD 表示到当天结束\n"
        "  --device A0|A1   只导出该设备\n"
        "  --battery N      只导出电池 N (0-7)\n"
        "  --alarms         导出报警记录 (time,device,battery,kind,state,value,user)\n"
        "  -o FILE          写入文件 (默认写到标准输出)\n");
}

std::variant<ExportOptions, QString> ParseExportOptions(const QStringList& arguments) {
    ExportOptions options;
    QString dataDir;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= arguments.size()) return std::nullopt;
            return arguments[++i];
        };
        if (arg == u"-h" || arg == u"--help") {
            options.help = true;
            return options;
        }
        if (arg == u"--alarms") {
            options.alarms = true;
            continue;
        }
        if (arg != u"--data-dir" && arg != u"--from" && arg != u"--to" && arg != u"--device" &&
            arg != u"--battery" && arg != u"-o") {
            return QStringLiteral("未知的选项: %1").arg(arg);
        }
        const std::optional<QString> v = value();
        if (!v) return QStringLiteral("选项 %1 缺少参数").arg(arg);
        if (arg == u"--data-dir") {
            if (v->isEmpty()) return QStringLiteral("--data-dir 的文件夹为空");
            dataDir = *v;
        } else if (arg == u"--from") {
            const std::optional<qint64> t = ParseTimeArgument(*v);
            if (!t) return QStringLiteral("无效的时间 \"%1\": 请用 RFC 3339 或 YYYY-MM-DD").arg(*v);
            options.filter.from_ms = *t;
        } else if (arg == u"--to") {
            const std::optional<qint64> t = ParseUpperBound(*v);
            if (!t) return QStringLiteral("无效的时间 \"%1\": 请用 RFC 3339 或 YYYY-MM-DD").arg(*v);
            options.filter.to_ms = *t;
        } else if (arg == u"--device") {
            options.filter.device = battery::DeviceFromName(*v);
            if (!options.filter.device)
                return QStringLiteral("无效的设备 \"%1\": 请用 A0 或 A1").arg(*v);
        } else if (arg == u"--battery") {
            bool ok = false;
            const int battery = v->toInt(&ok);
            if (!ok || battery < 0 || battery >= battery::kBatteriesPerDevice) {
                return QStringLiteral("无效的电池号 \"%1\": 请用 0 到 7").arg(*v);
            }
            options.filter.battery = static_cast<std::uint8_t>(battery);
        } else if (arg == u"-o") {
            if (v->isEmpty()) return QStringLiteral("-o 的文件名为空");
            options.outputFile = *v;
        }
    }
    if (options.filter.from_ms > options.filter.to_ms) {
        return QStringLiteral("--from 晚于 --to");
    }
    options.dataDir = ResolveDataDir(dataDir);
    return options;
}

}  // namespace store
