// Decoding the layout's pictures with libjpeg, and refusing what isn't one.
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <gtest/gtest.h>

#include "JpegDecoder.h"

namespace {

QByteArray EncodeWithQt(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "JPEG", 95));
    return bytes;
}

QByteArray SidePicture()
{
    QFile file(":/images/Image1.jpg");  // as the program carries it
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    return file.readAll();
}

TEST(JpegDecoder, KeepsColoursInOrderAndRowsStraightAtAnOddWidth)
{
    QImage source(37, 9, QImage::Format_RGB888);
    source.fill(Qt::white);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 12; ++x)
            source.setPixelColor(x, y, Qt::red);
    QString error;
    const QImage decoded = DecodeJpeg(EncodeWithQt(source), &error);
    ASSERT_FALSE(decoded.isNull()) << error.toStdString();
    EXPECT_EQ(decoded.size(), QSize(37, 9));
    for (int y = 0; y < 9; ++y) {
        const QColor left = decoded.pixelColor(3, y);
        const QColor right = decoded.pixelColor(30, y);
        EXPECT_GT(left.red(), 200);
        EXPECT_LT(left.blue(), 60);
        EXPECT_GT(right.blue(), 200);
    }
}

TEST(JpegDecoder, TheSidePictureIsABaselineThreeComponentJpegOfTheLayoutSize)
{
    const QByteArray bytes = SidePicture();
    const int frame = bytes.indexOf(QByteArray("\xFF\xC0", 2));  // start of a baseline frame
    ASSERT_GE(frame, 0);
    EXPECT_EQ(bytes.indexOf(QByteArray("\xFF\xC2", 2)), -1);  // not progressive
    const auto at = [&](int offset) { return static_cast<unsigned char>(bytes[frame + offset]); };
    EXPECT_EQ(at(5) << 8 | at(6), 253);  // height
    EXPECT_EQ(at(7) << 8 | at(8), 118);  // width
    EXPECT_EQ(at(9), 3);                 // components
    EXPECT_EQ(DecodeJpeg(bytes).size(), QSize(118, 253));
}

TEST(JpegDecoder, RefusesWhatIsNotACompleteJpegWithAMessage)
{
    const QByteArray picture = SidePicture();
    const struct {
        const char* tag;
        QByteArray bytes;
    } rows[] = {
        {"empty", QByteArray()},
        {"text", QByteArray("not a picture at all")},
        {"header cut short", picture.left(40)},
        {"marker only", QByteArray("\xFF\xD8\xFF", 3)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tag);
        QString error;
        EXPECT_TRUE(DecodeJpeg(row.bytes, &error).isNull());
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(JpegDecoder, ACutBodyStillGivesAnImageOrAMessageButNeverEndsTheProcess)
{
    const QByteArray picture = SidePicture();
    for (int length = 100; length < picture.size(); length += 397) {
        QString error;
        const QImage image = DecodeJpeg(picture.left(length), &error);
        EXPECT_TRUE(!image.isNull() || !error.isEmpty()) << length;
    }
}

}  // namespace
