#pragma once

#include <QList>
#include <QStringList>
#include <memory>
#include <vector>

#include "export/GridSnapshot.h"

class GridModel;
class QWidget;

// Copies each grid, cell by cell, into a new workbook of the spreadsheet application registered
// as "Excel.Application" and leaves the application open and visible for the operator.
//
// When the application cannot be created, shows "无法打开Xls文件，请确认已 经安装EXCEL！" and
// returns normally. An error reported by the application during the copy propagates as
// automation::CallError (a std::exception with a UTF-8 what()) after every reference is dropped.
// Runs on the calling thread with a wait cursor and returns when the export is done; the window
// uses StartGridExport (ExportJob.h), which does the same off the window's thread.
void ExportGridsToExcel(const QList<const GridModel*>& grids, QWidget* parent = nullptr);

namespace gridexport {

// Rows of a sheet, header row included.
inline constexpr int kSheetRowLimit = 1048576;

// Where one table went: its sheets in order, and how many data rows (below the header) it had.
struct TableReport {
    QStringList sheets;
    qint64 dataRows = 0;
};

struct Report {
    bool opened = false;  // false: the application could not be created, nothing was written
    std::vector<TableReport> tables;
};

// The export's call sequence on the calling thread, without any user interface: any thread may
// run it as long as one thread at a time talks to the application. A table with more rows than
// a sheet holds continues on further sheets ("历史数据 (2)", ...), each with the header row.
// Throws automation::CallError like ExportGridsToExcel.
Report Run(const QList<std::shared_ptr<const GridSnapshot>>& grids,
           int sheetRowLimit = kSheetRowLimit);

// What the operator is told after an export that had to split a table; "" when none was split.
QString SplitNotice(const Report& report, int sheetRowLimit = kSheetRowLimit);

// The message shown when the application cannot be created.
QString CannotOpenText();

}  // namespace gridexport
