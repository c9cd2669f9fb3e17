#pragma once

#include <QList>
#include <QString>
#include <functional>

#include "export/ExportGridsToExcel.h"

class GridModel;
class QWidget;

// The window's export: returns at once and does the work in the background, in the order the
// exports were started.
//
// On the calling (window) thread the grids are copied in short slices between the window's own
// events, so polling keeps its pace even for tables of 100,000 rows and more; the copy is then
// written by the export thread, which alone talks to the spreadsheet application. The wait
// cursor shows while any export is pending. Messages go through the program's message box on
// the window's thread: "无法打开Xls文件，请确认已 经安装EXCEL！" when the application cannot be
// created, the error's text when a call fails, and what went where when a table had to be split
// over several sheets.
namespace gridexport {

struct JobResult {
    enum class Outcome {
        Exported,    // every table was written and the workbook shown
        CannotOpen,  // the application could not be created
        Failed,      // a call failed; `error` holds its text
        Abandoned,   // a grid was destroyed before it was copied
    };
    Outcome outcome = Outcome::Exported;
    QString error;
    Report report;
};

using JobFinished = std::function<void(const JobResult&)>;

// Queues an export of `grids` (one workbook). `onFinished` runs on the calling thread after the
// job's messages were shown. Must be called on the thread of the grids (the window's thread).
void StartGridExport(const QList<const GridModel*>& grids, QWidget* parent,
                     JobFinished onFinished = {});

// Exports queued or running. For tests and for a window that wants to wait before closing.
int PendingGridExports();

// The longest a single slice of copying may hold the calling thread.
inline constexpr int kSnapshotSliceUs = 1000;

}  // namespace gridexport
