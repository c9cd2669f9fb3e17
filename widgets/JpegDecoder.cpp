#include "widgets/JpegDecoder.h"

#include <csetjmp>
// clang-format off
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <jpeglib.h>
// clang-format on

namespace {

// Pictures larger than this are refused rather than allocated.
constexpr qint64 kMaxPixels = qint64(1) << 26;

struct JpegErrorManager {
    jpeg_error_mgr base;  // first, so libjpeg's pointer to it is a pointer to us
    std::jmp_buf escape;
};

// libjpeg must not return to its caller after an error; leave through the jump buffer.
[[noreturn]] void FailDecoding(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrorManager*>(info->err)->escape, 1);
}

// A warning means libjpeg has patched over damaged data (for instance filled a truncated image
// with grey); such a picture is refused like a broken one. Trace messages are ignored.
void OnMessage(j_common_ptr info, int level) {
    if (level < 0) FailDecoding(info);
}

// Fills `image` from `data`. No object with a destructor may live in this frame: a libjpeg
// error jumps back to the setjmp below and skips everything in between. `image` belongs to the
// caller, whose frame the jump does not touch.
bool DecodeInto(const unsigned char* data, unsigned long size, QImage* image) {
    jpeg_decompress_struct info;
    JpegErrorManager errors;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = FailDecoding;
    errors.base.emit_message = OnMessage;
    if (setjmp(errors.escape) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }

    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&info);

    if (info.output_width == 0 || info.output_height == 0 ||
        qint64(info.output_width) * info.output_height > kMaxPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    *image = QImage(int(info.output_width), int(info.output_height),
                    cmyk ? QImage::Format_RGB32 : QImage::Format_RGB888);
    if (image->isNull()) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image->scanLine(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

// CMYK pictures (Adobe writes them inverted) were decoded 4 bytes per pixel into the RGB32
// buffer; turn each pixel into its RGB value in place.
void ConvertInvertedCmykToRgb(QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        auto* pixel = reinterpret_cast<QRgb*>(image.scanLine(y));
        const uchar* cmyk = reinterpret_cast<const uchar*>(pixel);
        for (int x = 0; x < image.width(); ++x, cmyk += 4) {
            const int k = cmyk[3];
            pixel[x] = qRgb(cmyk[0] * k / 255, cmyk[1] * k / 255, cmyk[2] * k / 255);
        }
    }
}

}  // namespace

QImage DecodeJpeg(const QByteArray& data) {
    if (data.isEmpty()) return {};
    QImage image;
    if (!DecodeInto(reinterpret_cast<const unsigned char*>(data.constData()),
                    static_cast<unsigned long>(data.size()), &image)) {
        return {};
    }
    if (image.format() == QImage::Format_RGB32) ConvertInvertedCmykToRgb(image);
    return image;
}
