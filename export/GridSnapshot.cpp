#include "export/GridSnapshot.h"

#include "models/GridModel.h"

QString GridSnapshot::Cell(int col, int row) const {
    if (col < 0 || col >= cols_ || row < 0 || row >= rows_) return {};
    const std::size_t index = std::size_t(row) * cols_ + col;
    const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
    return QString::fromUtf8(text_.data() + begin, qsizetype(ends_[index] - begin));
}

void GridSnapshot::Append(const QString& text) {
    text_ += text.toStdString();
    ends_.push_back(text_.size());
}

std::shared_ptr<const GridSnapshot> GridSnapshot::Take(const GridModel& grid) {
    GridSnapshotter copy(grid);
    while (!copy.Step(std::numeric_limits<std::int64_t>::max())) {
    }
    return copy.Result();
}

GridSnapshotter::GridSnapshotter(const GridModel& grid)
    : grid_(&grid), snapshot_(std::make_shared<GridSnapshot>()) {
    snapshot_->cols_ = grid.ColCount();
    snapshot_->rows_ = grid.RowCount();
    snapshot_->ends_.reserve(std::size_t(snapshot_->rows_) * snapshot_->cols_);
}

bool GridSnapshotter::Step(std::int64_t budgetNs) {
    if (grid_.isNull()) return true;
    QElapsedTimer clock;
    clock.start();
    const GridModel& grid = *grid_;
    GridSnapshot& copy = *snapshot_;
    while (nextRow_ < copy.rows_) {
        for (int col = 0; col < copy.cols_; ++col) copy.Append(grid.Cell(col, nextRow_));
        ++nextRow_;
        if ((nextRow_ & 15) == 0 && clock.nsecsElapsed() >= budgetNs) break;
    }
    return nextRow_ >= copy.rows_;
}
