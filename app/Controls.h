#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QList>
#include <QTabWidget>

// Small window controls the main window needs and Qt does not offer as such.

// A filled circle (the port-state lamp).
class CircleShape : public QWidget {
    Q_OBJECT
public:
    explicit CircleShape(QWidget* parent = nullptr);
    QColor BrushColor() const { return brush_; }
    void SetBrushColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor brush_ = Qt::white;
};

// A status bar of two text panels; the last panel reaches to the right end.
class StatusBar : public QFrame {
    Q_OBJECT
public:
    StatusBar(int firstPanelWidth, QWidget* parent = nullptr);
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);

protected:
    void resizeEvent(QResizeEvent*) override;

private:
    int firstPanelWidth_;
    QList<QLabel*> panels_;
};

// A page control whose tabs are painted in the colour of their page.
class PageControl : public QTabWidget {
    Q_OBJECT
public:
    explicit PageControl(QWidget* parent = nullptr);
    // Adds `page` under `caption`, filling page and tab with `colour`.
    int AddPage(QWidget* page, const QString& caption, const QColor& colour);
};
