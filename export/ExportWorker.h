#pragma once

#include <QList>
#include <QObject>
#include <memory>

#include "export/ExportJob.h"
#include "export/GridSnapshot.h"
#include "threads/Handed.h"

namespace gridexport {

// The export thread's side of the window's export: writes copied grids into one workbook and
// reports how it went. It alone talks to the spreadsheet application, one export at a time.
class ExportWorker : public QObject {
    Q_OBJECT
public:
    void Export(const QList<std::shared_ptr<const GridSnapshot>>& snapshots);

signals:
    void Exported(const threads::Handed<gridexport::JobResult>& result);
};

}  // namespace gridexport
