#include "app/Controls.h"

#include <QPainter>
#include <QStyleOptionTab>
#include <QTabBar>

CircleShape::CircleShape(QWidget* parent) : QWidget(parent) {}

void CircleShape::SetBrushColor(const QColor& color) {
    if (color == brush_) return;
    brush_ = color;
    update();
}

void CircleShape::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(brush_);
    p.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

StatusBar::StatusBar(int firstPanelWidth, QWidget* parent)
    : QFrame(parent), firstPanelWidth_(firstPanelWidth) {
    for (int i = 0; i < 2; ++i) {
        auto* panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setIndent(2);
        panels_.append(panel);
    }
}

QString StatusBar::PanelText(int index) const {
    return index >= 0 && index < panels_.size() ? panels_[index]->text() : QString();
}

void StatusBar::SetPanelText(int index, const QString& text) {
    if (index >= 0 && index < panels_.size()) panels_[index]->setText(text);
}

void StatusBar::resizeEvent(QResizeEvent*) {
    const int h = height() - 2;
    panels_[0]->setGeometry(0, 2, firstPanelWidth_ - 2, h);
    panels_[1]->setGeometry(firstPanelWidth_, 2, width() - firstPanelWidth_, h);
}

namespace {

class ColouredTabBar : public QTabBar {
public:
    using QTabBar::QTabBar;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        for (int i = 0; i < count(); ++i) {
            QStyleOptionTab opt;
            initStyleOption(&opt, i);
            QRect r = tabRect(i);
            if (i != currentIndex()) r.adjust(0, 2, 0, 0);
            const QColor fill = tabData(i).value<QColor>();
            p.setPen(QColor(0x80, 0x80, 0x80));
            p.setBrush(fill.isValid() ? fill : palette().button().color());
            p.drawRect(r.adjusted(0, 0, -1, i == currentIndex() ? 0 : -1));
            p.setPen(tabTextColor(i));
            p.drawText(r, Qt::AlignCenter, tabText(i));
        }
    }
};

}  // namespace

PageControl::PageControl(QWidget* parent) : QTabWidget(parent) {
    setTabBar(new ColouredTabBar(this));
    setDocumentMode(false);
}

int PageControl::AddPage(QWidget* page, const QString& caption, const QColor& colour) {
    page->setAutoFillBackground(true);
    QPalette pal = page->palette();
    pal.setColor(QPalette::Window, colour);
    page->setPalette(pal);
    const int index = addTab(page, caption);
    tabBar()->setTabData(index, colour);
    return index;
}
