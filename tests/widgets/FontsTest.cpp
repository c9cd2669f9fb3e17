#include <gtest/gtest.h>

#include <QFontInfo>
#include <QImage>
#include <QPainter>

#include "widgets/Fonts.h"

namespace {

// Number of clearly dark pixels when `text` is drawn black on white in `font`.
int InkOf(const QString& text, const QFont& font) {
    QImage image(64, 32, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QPoint(4, 24), text);
    painter.end();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) ink += qGray(image.pixel(x, y)) < 128;
    return ink;
}

QFont Face(const QString& family, int pixels) {
    QFont font(family);
    font.setPixelSize(pixels);
    return font;
}

}  // namespace

TEST(Fonts, windowFacesMapOntoInstalledFontsAndDrawTheCelsiusSign) {
    InstallFontSubstitutions();
    EXPECT_EQ(QFontInfo(Face("MS Sans Serif", 11)).family(), "Liberation Sans");
    EXPECT_EQ(QFontInfo(Face("Arial", 11)).family(), "Liberation Sans");
    EXPECT_EQ(QFontInfo(Face("楷体", 27)).family(), "AR PL UKai CN");

    // ℃ must not come out blank (which it does when WenQuanYi supplies it).
    for (const char* family : {"MS Sans Serif", "Arial", "楷体"}) {
        EXPECT_GT(InkOf(QStringLiteral("℃"), Face(family, 15)), 8) << family;
        EXPECT_GT(InkOf(QStringLiteral("温"), Face(family, 15)), 8) << family;
    }
}
