#include "mirroring/QrCode.h"

#include <qrencode.h>

#include <QPainter>

#include <memory>

namespace glasswing {

std::optional<QrCode> QrCode::encode(const QByteArray& text)
{
    // Byte mode with an explicit length: the text is taken as it is, NULs and all.
    std::unique_ptr<QRcode, decltype(&QRcode_free)> encoded(
        QRcode_encodeData(int(text.size()), reinterpret_cast<const unsigned char*>(text.constData()), 0, QR_ECLEVEL_M),
        &QRcode_free);
    if (!encoded || encoded->width <= 0)
        return std::nullopt;
    QrCode code;
    code.m_size = encoded->width;
    code.m_modules.reserve(code.m_size * code.m_size);
    // Each byte's lowest bit says whether that module is dark; the others are the encoder's notes.
    for (int i = 0; i < code.m_size * code.m_size; ++i)
        code.m_modules.append((encoded->data[i] & 1) != 0);
    return code;
}

QImage QrCode::image(int modulePixels) const
{
    modulePixels = std::max(1, modulePixels);
    const int side = sizeWithQuietZone() * modulePixels;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < m_size; ++y) {
        for (int x = 0; x < m_size; ++x) {
            if (isDark(x, y))
                painter.fillRect((x + kQuietZone) * modulePixels, (y + kQuietZone) * modulePixels, modulePixels,
                                 modulePixels, Qt::black);
        }
    }
    return image;
}

} // namespace glasswing
