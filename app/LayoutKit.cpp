#include "app/LayoutKit.h"

#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "display/HistoryGridModel.h"
#include "display/TextFormats.h"
#include "widgets/StringGrid.h"

namespace layout {

// Buttons share one look: a dark blue frame, a light face, highlighted under the pointer.
const char* const kButtonStyle =
    "QPushButton { border: 1px solid #003C74; border-radius: 3px; background: #F4F4F0;"
    " padding: 0 4px; }"
    "QPushButton:hover { background: #FFF2C8; border-color: #E5A000; }"
    "QPushButton:pressed { background: #E2E2DA; }"
    "QPushButton:disabled { color: #A0A0A0; }";

QFont MakeFont(int pixelSize, bool bold, const QString& family) {
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, colour);
    pal.setColor(QPalette::Text, colour);
    pal.setColor(QPalette::ButtonText, colour);
    widget->setPalette(pal);
}

void SetBackground(QWidget* widget, const QColor& colour) {
    widget->setAutoFillBackground(true);
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, colour);
    pal.setColor(QPalette::Base, colour);
    widget->setPalette(pal);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text) {
    auto* label = Named(new QLabel(text, parent), name, geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text,
                  const QColor& colour, int pixelSize, bool bold) {
    QLabel* label = MakeLabel(parent, name, geometry, text);
    label->setFont(MakeFont(pixelSize, bold));
    SetTextColour(label, colour);
    return label;
}

// Purple 11 px labels above the edits of the settings page.
QLabel* MakeHint(QWidget* parent, const char* name, const QRect& geometry, const QString& text) {
    return MakeLabel(parent, name, geometry, text, kPurple, 11);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& geometry,
                        const QString& caption, const QString& icon) {
    auto* button = Named(new QPushButton(caption, parent), name, geometry);
    if (!icon.isEmpty()) {
        QIcon pictures(QStringLiteral(":/icons/%1.png").arg(icon));
        pictures.addFile(QStringLiteral(":/icons/%1-disabled.png").arg(icon), QSize(16, 16),
                         QIcon::Disabled);
        button->setIcon(pictures);
        button->setIconSize(QSize(16, 16));
    }
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QRect& geometry, const QString& text) {
    auto* edit = Named(new QLineEdit(text, parent), name, geometry);
    SetTextColour(edit, Qt::black);
    return edit;
}

::StringGrid* MakeGrid(QWidget* parent, ::StringGrid* grid, const char* name, const QRect& geometry,
                       const QList<int>& widths) {
    grid->setParent(parent);
    Named(grid, name, geometry);
    grid->SetColWidths(widths);
    return grid;
}

QStringList TimeStampSamples() {
    // A time stamp with each digit in every place: digits of a proportional face differ in width.
    const QString stamp = TimeStampText(QDateTime(QDate(2026, 12, 8), QTime(17, 45, 30)));
    QStringList samples;
    for (char16_t digit = u'0'; digit <= u'9'; ++digit) {
        QString sample = stamp;
        for (QChar& c : sample)
            if (c.isDigit()) c = QChar(digit);
        samples << sample;
    }
    return samples;
}

void FitTimeColumn(::StringGrid* grid, int col) { grid->FitColumnToText(col, TimeStampSamples()); }

::StringGrid* MakeHistoryGrid(QWidget* parent, const char* name, const QRect& geometry,
                              int lastColumnWidth) {
    auto* grid = new ::StringGrid(new HistoryGridModel(15), parent);
    MakeGrid(parent, grid, name, geometry, {120, 37, 36, lastColumnWidth});
    grid->SetScrollBars(true, true);
    FitTimeColumn(grid, 0);
    return grid;
}

}  // namespace layout
