#include "export/ExportGridsToExcel.h"

#include <QApplication>
#include <QLocale>

#include "export/Automation.h"
#include "export/ClassRegistry.h"
#include "models/GridModel.h"
#include "widgets/MessageBox.h"

namespace gridexport {
namespace {

using automation::Dispatch;

const QString kProgId = QStringLiteral("Excel.Application");
const QString kCaption = QStringLiteral("蓄电池监测历史数据记录");
const QString kSheetName = QStringLiteral("历史数据");

std::shared_ptr<Dispatch> TryCreateApplication() {
    try {
        return automation::CreateObject(kProgId);
    } catch (const automation::CreationError&) {
        return nullptr;
    }
}

// Puts the header row and the grid rows [first, end) into rows 1.. of `sheet`.
void CopyRows(Dispatch& sheet, const GridSnapshot& grid, int first, int end) {
    const int cols = grid.ColCount();
    auto copyRow = [&](int sheetRow, int gridRow) {
        for (int col = 0; col < cols; ++col) {
            sheet.Put(QStringLiteral("Cells"), {sheetRow, col + 1, grid.Cell(col, gridRow)});
        }
    };
    if (grid.RowCount() > 0) copyRow(1, 0);
    for (int row = first; row < end; ++row) copyRow(row - first + 2, row);
}

// The rows a table's part `part` covers when each sheet holds `limit` rows with its header.
std::pair<int, int> PartRows(const GridSnapshot& grid, int part, int limit) {
    const qint64 perSheet = limit - 1;
    const qint64 first = 1 + part * perSheet;
    return {int(first), int(std::min<qint64>(grid.RowCount(), first + perSheet))};
}

int PartCount(const GridSnapshot& grid, int limit) {
    const qint64 dataRows = std::max(0, grid.RowCount() - 1);
    return int(std::max<qint64>(1, (dataRows + limit - 2) / (limit - 1)));
}

// Continues a table on a new sheet at the end of the workbook.
void CopyContinuation(Dispatch& excel, const GridSnapshot& grid, int part, int limit,
                      TableReport& report) {
    const QString name = QStringLiteral("%1 (%2)").arg(kSheetName).arg(part + 1);
    auto book = excel.Get(QStringLiteral("Workbooks"), {1}).ToObject();
    auto sheets =
        book->Invoke(QStringLiteral("WorkSheets"), automation::CallKind::MethodOrPropertyGet, {})
            .ToObject();
    auto sheet = sheets->Call(QStringLiteral("Add")).ToObject();
    sheet->Put(QStringLiteral("Name"), {name});
    const auto [first, end] = PartRows(grid, part, limit);
    CopyRows(*sheet, grid, first, end);
    report.sheets << name;
}

// The call sequence on a created application. Every reference taken here is a local, so an
// error thrown by any call drops them all on the way out.
void FillWorkbook(Dispatch& excel, const QList<std::shared_ptr<const GridSnapshot>>& grids,
                  int limit, Report& report) {
    excel.Put(QStringLiteral("Caption"), {kCaption});
    excel.Invoke(QStringLiteral("WorkBooks"), automation::CallKind::MethodOrPropertyGet, {})
        .ToObject()
        ->Call(QStringLiteral("Add"));
    // After Add on purpose: the new workbook keeps the application's default sheet count.
    excel.Put(QStringLiteral("SheetsInNewWorkbook"), {static_cast<qint32>(grids.size())});

    qint32 position = 1;
    for (const auto& grid : grids) {
        TableReport table;
        table.dataRows = std::max(0, grid->RowCount() - 1);
        {
            auto book = excel.Get(QStringLiteral("WorkBooks"), {1}).ToObject();
            auto sheet = book->Get(QStringLiteral("WorkSheets"), {position}).ToObject();
            sheet->Put(QStringLiteral("Name"), {kSheetName});
        }
        {
            auto book = excel.Get(QStringLiteral("Workbooks"), {1}).ToObject();
            auto target = book->Get(QStringLiteral("WorkSheets"), {kSheetName}).ToObject();
            const auto [first, end] = PartRows(*grid, 0, limit);
            CopyRows(*target, *grid, first, end);
            table.sheets << kSheetName;
        }
        const int parts = PartCount(*grid, limit);
        for (int part = 1; part < parts; ++part) {
            CopyContinuation(excel, *grid, part, limit, table);
        }
        report.tables.push_back(std::move(table));
        ++position;
    }
    excel.Put(QStringLiteral("Visible"), {true});
}

}  // namespace

Report Run(const QList<std::shared_ptr<const GridSnapshot>>& grids, int sheetRowLimit) {
    Report report;
    std::shared_ptr<Dispatch> excel = TryCreateApplication();
    if (!excel) return report;
    report.opened = true;
    FillWorkbook(*excel, grids, std::max(2, sheetRowLimit), report);
    // The application stays open under the operator's control: it is released, never told to quit.
    return report;
}

QString SplitNotice(const Report& report, int sheetRowLimit) {
    QStringList notices;
    const QLocale c = QLocale::c();
    for (const TableReport& table : report.tables) {
        if (table.sheets.size() < 2) continue;
        notices << QStringLiteral(
                       "表格共 %1 条记录，超过一张工作表 %2 行的上限，已分 %3 张工作表导出："
                       "%4。")
                       .arg(c.toString(table.dataRows), c.toString(sheetRowLimit))
                       .arg(table.sheets.size())
                       .arg(table.sheets.join(QStringLiteral("、")));
    }
    return notices.join(u'\n');
}

QString CannotOpenText() { return QStringLiteral("无法打开Xls文件，请确认已 经安装EXCEL！"); }

}  // namespace gridexport

namespace {

// Shows the wait cursor for its lifetime, or until Restore().
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { Restore(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

    void Restore() {
        if (active_) QApplication::restoreOverrideCursor();
        active_ = false;
    }

private:
    bool active_ = true;
};

}  // namespace

void ExportGridsToExcel(const QList<const GridModel*>& grids, QWidget* parent) {
    WaitCursor busy;
    QList<std::shared_ptr<const GridSnapshot>> snapshots;
    for (const GridModel* grid : grids) snapshots << GridSnapshot::Take(*grid);
    const gridexport::Report report = gridexport::Run(snapshots);
    busy.Restore();
    if (!report.opened) {
        messagebox::Show(parent, gridexport::CannotOpenText());
        return;
    }
    const QString notice = gridexport::SplitNotice(report);
    if (!notice.isEmpty()) messagebox::Show(parent, notice);
}
