#include <gtest/gtest.h>

#include <QFile>
#include <QRandomGenerator>

#include "widgets/JpegDecoder.h"
#include "widgets/JpegImage.h"

namespace {

QByteArray ReadResource(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

}  // namespace

TEST(JpegDecoder, decodesTheEmbeddedLogo) {
    const QByteArray logo = ReadResource(":/images/logo.jpg");
    ASSERT_FALSE(logo.isEmpty());
    const QImage image = DecodeJpeg(logo);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(379, 56));
    const QColor left = image.pixelColor(3, 3);
    const QColor right = image.pixelColor(375, 3);
    EXPECT_GT(left.blue(), left.red() + 60) << "blue at the left end";
    EXPECT_GT(right.red(), 230) << "white at the right end";
}

TEST(JpegDecoder, brokenInputGivesANullImage) {
    const QByteArray logo = ReadResource(":/images/logo.jpg");
    ASSERT_GT(logo.size(), 1000);
    EXPECT_TRUE(DecodeJpeg({}).isNull());
    EXPECT_TRUE(DecodeJpeg("not a jpeg at all").isNull());
    EXPECT_TRUE(DecodeJpeg(logo.left(2)).isNull());
    EXPECT_TRUE(DecodeJpeg(logo.left(300)).isNull()) << "headers only";
    EXPECT_TRUE(DecodeJpeg(logo.left(logo.size() / 2)).isNull()) << "truncated scan data";
    EXPECT_TRUE(DecodeJpeg(logo.left(logo.size() - 2)).isNull()) << "end marker missing";
    QByteArray badMarker = logo;
    badMarker[3] = char(0x01);
    EXPECT_TRUE(DecodeJpeg(badMarker).isNull());

    // Random damage may or may not be detectable, but must never crash or overrun.
    QRandomGenerator random(20240607);
    for (int round = 0; round < 200; ++round) {
        QByteArray damaged = logo;
        for (int hits = 0; hits < 4; ++hits) {
            damaged[random.bounded(int(damaged.size()))] = char(random.bounded(256));
        }
        const QImage image = DecodeJpeg(damaged);
        if (!image.isNull()) {
            EXPECT_EQ(image.size(), QSize(379, 56));
        }
    }
}

TEST(JpegImage, drawsThePictureUnscaledAndLeavesTheRestToThePanel) {
    QWidget panel;  // stands for the header panel, in a colour the logo does not have
    panel.setAutoFillBackground(true);
    panel.setPalette(QPalette(Qt::red));
    panel.resize(400, 60);
    auto* picture = new JpegImage(&panel);
    picture->setGeometry(0, 0, 385, 57);
    picture->LoadJpeg(ReadResource(":/images/logo.jpg"));
    EXPECT_EQ(picture->sizeHint(), QSize(379, 56));

    QImage screen(panel.size(), QImage::Format_ARGB32);
    panel.render(&screen);
    EXPECT_EQ(screen.pixelColor(382, 20), QColor(Qt::red)) << "6 px strip on the right";
    EXPECT_EQ(screen.pixelColor(100, 56), QColor(Qt::red)) << "1 px strip at the bottom";
    EXPECT_EQ(screen.pixelColor(3, 3), picture->Picture().pixelColor(3, 3));
    EXPECT_EQ(screen.pixelColor(378, 55), picture->Picture().pixelColor(378, 55));

    picture->LoadJpeg("garbage");
    panel.render(&screen);
    EXPECT_EQ(screen.pixelColor(3, 3), QColor(Qt::red));
}

TEST(Resources, iconsAreEmbeddedAtTheirSizes) {
    for (const char* name : {"nav-realtime", "nav-history", "nav-settings", "export-excel",
                             "port-open", "exit", "start", "apply"}) {
        for (const QString& variant : {QString(), QStringLiteral("-disabled")}) {
            const QString path = QStringLiteral(":/icons/%1%2.png").arg(name, variant);
            EXPECT_EQ(QImage(path).size(), QSize(16, 16)) << path.toStdString();
        }
    }
    EXPECT_EQ(QImage(":/icons/batmon.png").size(), QSize(64, 64));
    EXPECT_EQ(QImage(":/icons/batmon-256.png").size(), QSize(256, 256));
}
