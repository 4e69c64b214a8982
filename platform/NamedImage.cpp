#include "platform/NamedImage.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>

namespace glasswing {

namespace {

const QString kFolder = QStringLiteral(":/images/");
const QString kVectorSuffix = QStringLiteral(".svg");
const QString kBitmapSuffix = QStringLiteral("@2x.png");

bool isVector(const QString& resourcePath)
{
    return resourcePath.endsWith(kVectorSuffix);
}

} // namespace

std::optional<NamedImage> imageNamed(const QString& name)
{
    // A '/' would let a name walk out of the images folder into any other resource.
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return std::nullopt;

    // Existence is checked before any reader sees the path: readers warn about missing files.
    const QString vector = kFolder + name + kVectorSuffix;
    if (QFile::exists(vector)) {
        const QSvgRenderer renderer(vector);
        if (!renderer.isValid())
            return std::nullopt;
        // The width and height attributes are the size in points; the view box may be finer.
        return NamedImage{name, vector, QSizeF(renderer.defaultSize())};
    }
    const QString bitmap = kFolder + name + kBitmapSuffix;
    if (QFile::exists(bitmap)) {
        const QSize pixels = QImageReader(bitmap).size();
        if (pixels.isEmpty())
            return std::nullopt;
        return NamedImage{name, bitmap, QSizeF(pixels) / 2};
    }
    return std::nullopt;
}

QPixmap NamedImage::pixmap(QSizeF pointSize, qreal devicePixelRatio) const
{
    const QSize pixels(qRound(pointSize.width() * devicePixelRatio), qRound(pointSize.height() * devicePixelRatio));
    if (pixels.isEmpty())
        return {};

    QImage image;
    if (isVector(resourcePath)) {
        image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QSvgRenderer renderer(resourcePath);
        QPainter painter(&image);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    } else {
        image = QImage(resourcePath).scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    QPixmap pixmap = QPixmap::fromImage(std::move(image));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace glasswing
