#include "JpegDecoder.h"

#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE declared first

#include <jpeglib.h>

namespace {

// libjpeg's default error_exit ends the process; this one jumps back to the decoder instead.
struct JpegErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JumpBackOnError(j_common_ptr info)
{
    auto* errors = reinterpret_cast<JpegErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void KeepWarningsQuiet(j_common_ptr) {}

// Decodes into image. Holds no object with a destructor, so the jump skips nothing; the QImage
// lives in the caller.
bool DecodeInto(const unsigned char* data, unsigned long size, QImage& image, JpegErrorManager& errors)
{
    jpeg_decompress_struct info{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = JumpBackOnError;
    errors.base.output_message = KeepWarningsQuiet;
    errors.message[0] = '\0';
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    if (info.image_width > kMaxJpegDimension || info.image_height > kMaxJpegDimension) {
        std::snprintf(errors.message, sizeof errors.message, "Picture too large (%ux%u)", info.image_width,
                      info.image_height);
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                   QImage::Format_RGB888);
    if (image.isNull()) {
        std::snprintf(errors.message, sizeof errors.message, "Out of memory for the picture");
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

QImage DecodeJpeg(const QByteArray& bytes, QString* error)
{
    QImage image;
    JpegErrorManager errors{};
    if (bytes.isEmpty()) {
        if (error != nullptr)
            *error = QStringLiteral("Empty picture data");
        return {};
    }
    if (!DecodeInto(reinterpret_cast<const unsigned char*>(bytes.constData()),
                    static_cast<unsigned long>(bytes.size()), image, errors)) {
        if (error != nullptr)
            *error = QString::fromLocal8Bit(errors.message);
        return {};
    }
    return image;
}
