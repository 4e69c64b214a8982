#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>

#include <optional>

namespace glasswing {

// A QR code of some text (byte mode, error correction level M, the smallest version that holds
// it), as libqrencode makes it. A plain value; any thread.
class QrCode {
public:
    // Nothing when the text does not fit in the largest version or the encoder fails.
    static std::optional<QrCode> encode(const QByteArray& text);

    // Modules along one side, without the quiet zone.
    int size() const { return m_size; }
    bool isDark(int x, int y) const { return m_modules.at(y * m_size + x); }

    // The quiet zone a scanner needs around the code, in modules.
    static constexpr int kQuietZone = 4;
    // Modules along one side with the quiet zone on both sides.
    int sizeWithQuietZone() const { return m_size + 2 * kQuietZone; }
    // Black modules on white, quiet zone included, each module `modulePixels` pixels square, so
    // that no edge falls between pixels (a scanner needs sharp edges, and the theme's colours
    // would not do: phones look for dark on light).
    QImage image(int modulePixels) const;

private:
    int m_size = 0;
    QList<bool> m_modules;
};

} // namespace glasswing
