// Decodes the layout's pictures (baseline or progressive JPEG, grey or colour) with libjpeg.
//
//   QString error;
//   QImage picture = DecodeJpeg(bytes, &error);   // null with error set when it can't be decoded
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Largest width or height accepted; a header claiming more is refused before any allocation.
inline constexpr int kMaxJpegDimension = 8192;

// An RGB888 image, or a null image with the library's message in *error (when error is given).
// Never exits or prints, whatever the bytes.
[[nodiscard]] QImage DecodeJpeg(const QByteArray& bytes, QString* error = nullptr);
