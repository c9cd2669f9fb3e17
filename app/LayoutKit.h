#pragma once

#include <QColor>
#include <QFont>
#include <QList>
#include <QRect>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class StringGrid;

// The pieces the window's layout is built from: its measures, colours, fonts and the makers of
// named controls at fixed geometry.
namespace layout {

inline constexpr int kClientWidth = 1157;
inline constexpr int kClientHeight = 691;
inline constexpr int kHeaderHeight = 57;
inline constexpr int kNavWidth = 105;
inline constexpr int kStatusHeight = 21;

inline const QColor kBlue{0x00, 0x00, 0xFF};
inline const QColor kPurple{0x80, 0x00, 0x80};
inline const QColor kDarkBlue{0x00, 0x33, 0x66};
inline const QColor kRed{0xFF, 0x00, 0x00};
inline const QColor kFuchsia{0xFF, 0x00, 0xFF};
inline const QColor kLampGreen{0, 128, 0};
inline const QColor kLampSilver{192, 192, 192};
// Bars of the voltage chart (green) and of the temperature chart (yellow).
inline const QColor kVoltageBar{0, 255, 0};
inline const QColor kTemperatureBar{255, 255, 0};

// Buttons share one look: a dark blue frame, a light face, highlighted under the pointer.
extern const char* const kButtonStyle;

QFont MakeFont(int pixelSize, bool bold = false,
               const QString& family = QStringLiteral("MS Sans Serif"));
void SetTextColour(QWidget* widget, const QColor& colour);
void SetBackground(QWidget* widget, const QColor& colour);

template <typename W>
W* Named(W* widget, const char* name, const QRect& geometry) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text);
QLabel* MakeLabel(QWidget* parent, const char* name, const QRect& geometry, const QString& text,
                  const QColor& colour, int pixelSize, bool bold = false);
// Purple 11 px labels above the edits of the settings page.
QLabel* MakeHint(QWidget* parent, const char* name, const QRect& geometry, const QString& text);
QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& geometry,
                        const QString& caption, const QString& icon = {});
QLineEdit* MakeEdit(QWidget* parent, const char* name, const QRect& geometry, const QString& text);
::StringGrid* MakeGrid(QWidget* parent, ::StringGrid* grid, const char* name, const QRect& geometry,
                       const QList<int>& widths);
// Widens the time column `col` of `grid` to a whole time stamp in the grid's font, using the
// free space right of its last column first.
void FitTimeColumn(::StringGrid* grid, int col);
::StringGrid* MakeHistoryGrid(QWidget* parent, const char* name, const QRect& geometry,
                              int lastColumnWidth);

}  // namespace layout
