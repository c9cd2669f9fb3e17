#include "widgets/StringGrid.h"

#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>
#include <algorithm>

#include "models/PlainGridModel.h"

namespace {

const char* const kHeaderStyle =
    "QHeaderView::section {"
    "  background-color: #C0DCC0; color: #0000FF;"
    "  border: none; border-right: 1px solid #A0A0A0; border-bottom: 1px solid #A0A0A0;"
    "  padding: 0px 2px;"
    "}";

}  // namespace

StringGrid::StringGrid(int colCount, int rowCount, QWidget* parent)
    : StringGrid(new PlainGridModel(colCount, rowCount), parent) {}

StringGrid::StringGrid(GridModel* model, QWidget* parent)
    : QTableView(parent), model_(model ? model : new PlainGridModel(0, 1)) {
    model_->setParent(this);
    setModel(model_);
    ApplyLook();
}

void StringGrid::ApplyLook() {
    // Only the pixel size is set, so the face still comes from the parent's font.
    QFont cellFont;
    cellFont.setPixelSize(15);
    setFont(cellFont);

    QPalette cells = palette();
    cells.setColor(QPalette::Base, Qt::white);
    cells.setColor(QPalette::Text, QColor(0x00, 0x00, 0xFF));
    setPalette(cells);

    QHeaderView* rows = verticalHeader();
    rows->hide();
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(kRowHeight);
    rows->setSectionResizeMode(QHeaderView::Fixed);

    QHeaderView* header = horizontalHeader();
    header->setStyleSheet(kHeaderStyle);
    header->setFixedHeight(kRowHeight);
    header->setMinimumSectionSize(1);
    header->setDefaultSectionSize(kDefaultColWidth);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(false);
    header->setHighlightSections(false);
    header->setSectionsClickable(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    setShowGrid(true);
    setGridStyle(Qt::SolidLine);
    setWordWrap(false);
    // A text wider than its cell is cut at the cell border, as in a classic string grid, rather
    // than shortened with an ellipsis that would hide its digits.
    setTextElideMode(Qt::ElideNone);
    setCornerButtonEnabled(false);
    setSelectionMode(QAbstractItemView::ContiguousSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
}

void StringGrid::changeEvent(QEvent* event) {
    // The platform gives headers a font of their own; the header row is a row of cells and
    // follows the grid's font instead.
    if (event->type() == QEvent::FontChange) horizontalHeader()->setFont(font());
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange) ApplyColumnFit();
}

void StringGrid::FitColumnToText(int col, const QStringList& samples) {
    fitColumn_ = col;
    fitSamples_ = samples;
    ApplyColumnFit();
}

int StringGrid::CellWidthFor(const QString& text) const {
    // The item delegate keeps this margin on each side of a cell's text, plus one pixel for
    // the grid line.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    return QFontMetrics(font()).horizontalAdvance(text) + 2 * margin + 1;
}

void StringGrid::ApplyColumnFit() {
    if (fitColumn_ < 0 || fitColumn_ >= ColCount()) return;
    int needed = 0;
    for (const QString& sample : fitSamples_) needed = std::max(needed, CellWidthFor(sample));
    // The columns to the right move over: the free space right of the last column is used
    // first, and only what it lacks is scrolled to (or cut from the last column's right edge
    // where the grid does not scroll sideways).
    if (needed > columnWidth(fitColumn_)) horizontalHeader()->resizeSection(fitColumn_, needed);
}

void StringGrid::keyPressEvent(QKeyEvent* event) {
    // The view's own copy takes only the current cell.
    if (event->matches(QKeySequence::Copy)) {
        CopySelection();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

QString StringGrid::SelectedText() const {
    const QItemSelection selection = selectionModel()->selection();
    if (selection.isEmpty()) return {};
    int top = selection.front().top(), bottom = selection.front().bottom();
    int left = selection.front().left(), right = selection.front().right();
    for (const QItemSelectionRange& range : selection) {
        top = std::min(top, range.top());
        bottom = std::max(bottom, range.bottom());
        left = std::min(left, range.left());
        right = std::max(right, range.right());
    }
    QString text;
    for (int row = top; row <= bottom; ++row) {
        if (row > top) text += u'\n';
        for (int col = left; col <= right; ++col) {
            if (col > left) text += u'\t';
            if (selection.contains(model_->index(row, col))) text += Cells(col, row + 1);
        }
    }
    return text;
}

void StringGrid::CopySelection() const {
    const QString text = SelectedText();
    if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
}

QString StringGrid::Cells(int col, int row) const { return model_->Cell(col, row); }

void StringGrid::SetCells(int col, int row, const QString& text) {
    model_->SetCell(col, row, text);
}

int StringGrid::ColCount() const { return model_->ColCount(); }

int StringGrid::RowCount() const { return model_->RowCount(); }

void StringGrid::SetRowCount(int rows) { model_->SetRowCount(rows); }

void StringGrid::SetColWidths(const QList<int>& widths) {
    for (int col = 0; col < widths.size() && col < ColCount(); ++col) {
        horizontalHeader()->resizeSection(col, widths.at(col));
    }
}

void StringGrid::SetScrollBars(bool horizontal, bool vertical) {
    setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(vertical ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
}
