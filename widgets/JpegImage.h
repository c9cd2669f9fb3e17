#pragma once

#include <QByteArray>
#include <QImage>
#include <QWidget>

// Shows a JPEG picture unscaled from the widget's top-left corner. The rest of the widget is
// left undrawn, so whatever lies behind it shows; so does all of it when the data does not decode.
class JpegImage : public QWidget {
    Q_OBJECT
public:
    explicit JpegImage(QWidget* parent = nullptr);

    void LoadJpeg(const QByteArray& jpeg);
    const QImage& Picture() const { return picture_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
};
