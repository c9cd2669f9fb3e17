#include "widgets/JpegImage.h"

#include <QPainter>

#include "widgets/JpegDecoder.h"

JpegImage::JpegImage(QWidget* parent) : QWidget(parent) { setAutoFillBackground(false); }

void JpegImage::LoadJpeg(const QByteArray& jpeg) {
    picture_ = DecodeJpeg(jpeg);
    updateGeometry();
    update();
}

QSize JpegImage::sizeHint() const { return picture_.isNull() ? QSize(0, 0) : picture_.size(); }

void JpegImage::paintEvent(QPaintEvent*) {
    if (picture_.isNull()) return;
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), picture_);
}
