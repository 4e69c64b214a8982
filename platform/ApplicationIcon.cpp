#include "platform/ApplicationIcon.h"

#include "platform/NamedImage.h"

namespace glasswing {

QIcon applicationIcon()
{
    QIcon icon;
    if (const auto image = imageNamed(QStringLiteral("Glasswing"))) {
        for (int size : {16, 22, 24, 32, 48, 64, 96, 128, 256})
            icon.addPixmap(image->pixmap(QSizeF(size, size), 1.0));
    }
    return icon;
}

} // namespace glasswing
