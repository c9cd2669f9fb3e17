#include "export/ExportGridsToExcel.h"

#include <QApplication>

#include "export/Automation.h"
#include "export/ClassRegistry.h"
#include "models/GridModel.h"
#include "widgets/MessageBox.h"

namespace {

using automation::Dispatch;

const QString kProgId = QStringLiteral("Excel.Application");
const QString kCaption = QStringLiteral("蓄电池监测历史数据记录");
const QString kSheetName = QStringLiteral("历史数据");
const QString kCannotOpen = QStringLiteral("无法打开Xls文件，请确认已 经安装EXCEL！");

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

std::shared_ptr<Dispatch> TryCreateApplication() {
    try {
        return automation::CreateObject(kProgId);
    } catch (const automation::CreationError&) {
        return nullptr;
    }
}

void CopyGrid(Dispatch& sheet, const GridModel& grid) {
    const int rows = grid.RowCount();
    for (int row = 0; row < rows; ++row) {
        const int cols = grid.ColCount();
        for (int col = 0; col < cols; ++col) {
            sheet.Put(QStringLiteral("Cells"), {row + 1, col + 1, grid.Cell(col, row)});
        }
    }
}

// The call sequence on a created application. Every reference taken here is a local, so an
// error thrown by any call drops them all on the way out.
void FillWorkbook(Dispatch& excel, const QList<const GridModel*>& grids) {
    excel.Put(QStringLiteral("Caption"), {kCaption});
    excel.Invoke(QStringLiteral("WorkBooks"), automation::CallKind::MethodOrPropertyGet, {})
        .ToObject()
        ->Call(QStringLiteral("Add"));
    // After Add on purpose: the new workbook keeps the application's default sheet count.
    excel.Put(QStringLiteral("SheetsInNewWorkbook"), {static_cast<qint32>(grids.size())});

    qint32 position = 1;
    for (const GridModel* grid : grids) {
        {
            auto book = excel.Get(QStringLiteral("WorkBooks"), {1}).ToObject();
            auto sheet = book->Get(QStringLiteral("WorkSheets"), {position}).ToObject();
            sheet->Put(QStringLiteral("Name"), {kSheetName});
        }
        auto book = excel.Get(QStringLiteral("Workbooks"), {1}).ToObject();
        auto target = book->Get(QStringLiteral("WorkSheets"), {kSheetName}).ToObject();
        CopyGrid(*target, *grid);
        ++position;
    }
    excel.Put(QStringLiteral("Visible"), {true});
}

}  // namespace

void ExportGridsToExcel(const QList<const GridModel*>& grids, QWidget* parent) {
    WaitCursor busy;
    std::shared_ptr<Dispatch> excel = TryCreateApplication();
    if (!excel) {
        busy.Restore();
        messagebox::Show(parent, kCannotOpen);
        return;
    }
    FillWorkbook(*excel, grids);
    // The application stays open under the operator's control: it is released, never told to quit.
}
