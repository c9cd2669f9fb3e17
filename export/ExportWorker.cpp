#include "export/ExportWorker.h"

#include <exception>

namespace gridexport {

void ExportWorker::Export(const QList<std::shared_ptr<const GridSnapshot>>& snapshots) {
    JobResult result;
    try {
        result.report = Run(snapshots);
        if (!result.report.opened) result.outcome = JobResult::Outcome::CannotOpen;
    } catch (const std::exception& error) {
        result.outcome = JobResult::Outcome::Failed;
        result.error = QString::fromUtf8(error.what());
    }
    emit Exported(threads::Handed<JobResult>(std::move(result)));
}

}  // namespace gridexport
