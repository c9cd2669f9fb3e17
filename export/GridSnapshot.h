#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

class GridModel;

// The texts of a grid at one moment, owned by no thread: taken on the window's thread, read on
// the export thread. Texts are stored as UTF-8 back to back (about a quarter of the memory of a
// QString per cell), so even a table of millions of rows is held only once.
class GridSnapshot {
public:
    int ColCount() const { return cols_; }
    int RowCount() const { return rows_; }  // header row included
    QString Cell(int col, int row) const;   // "" outside the grid

    // Copies the whole grid at once. Cheap for small grids; see GridSnapshotter for large ones.
    static std::shared_ptr<const GridSnapshot> Take(const GridModel& grid);

private:
    friend class GridSnapshotter;
    void Append(const QString& text);

    int cols_ = 0;
    int rows_ = 0;
    std::string text_;
    std::vector<std::size_t> ends_;  // ends_[row * cols + col]: end of that cell in text_
};

// Copies a grid in slices, so that the thread owning the grid can go on with its own work in
// between: Step() copies rows until `budget` has passed. The rows exported are those the grid
// had when copying began; a row that fills in while copying goes out with its new texts. A grid
// destroyed while copying ends the copy (Failed()).
class GridSnapshotter {
public:
    explicit GridSnapshotter(const GridModel& grid);

    // Returns true once every row is copied (or the grid is gone).
    bool Step(std::int64_t budgetNs);
    bool Failed() const { return grid_.isNull(); }
    std::shared_ptr<const GridSnapshot> Result() const { return snapshot_; }

private:
    QPointer<const GridModel> grid_;
    std::shared_ptr<GridSnapshot> snapshot_;
    int nextRow_ = 0;
};
