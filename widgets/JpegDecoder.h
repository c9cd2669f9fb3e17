#pragma once

#include <QByteArray>
#include <QImage>

// Decodes a baseline or progressive JPEG with libjpeg. Corrupt or truncated data (anything that
// makes libjpeg report an error or a warning) gives a null image.
QImage DecodeJpeg(const QByteArray& data);
