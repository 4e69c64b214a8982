#include "platform/ImageView.h"

#include <QPainter>

#include <cmath>

namespace glasswing {

ImageView::ImageView(QWidget* parent)
    : QWidget(parent)
{
}

void ImageView::setImage(const std::optional<NamedImage>& image)
{
    m_image = image;
    m_rendered = QPixmap();
    updateGeometry();
    update();
}

QString ImageView::imageName() const
{
    return m_image ? m_image->name : QString();
}

void ImageView::setImageName(const QString& name)
{
    setImage(imageNamed(name));
}

QSize ImageView::sizeHint() const
{
    return m_image ? m_image->size.toSize() : QSize();
}

void ImageView::paintEvent(QPaintEvent*)
{
    if (!m_image || m_image->size.isEmpty())
        return;
    const qreal ratio = devicePixelRatioF();
    const QSizeF fitted = m_image->size.scaled(QSizeF(size()), Qt::KeepAspectRatio);
    // Whole device pixels, so the image is neither resampled nor blurred by the painter.
    const QSize pixels(qRound(fitted.width() * ratio), qRound(fitted.height() * ratio));
    if (pixels.isEmpty())
        return;
    if (m_rendered.size() != pixels || m_rendered.devicePixelRatio() != ratio)
        m_rendered = m_image->pixmap(QSizeF(pixels) / ratio, ratio);

    const QPointF origin(std::floor((width() * ratio - pixels.width()) / 2) / ratio,
                         std::floor((height() * ratio - pixels.height()) / 2) / ratio);
    QPainter(this).drawPixmap(origin, m_rendered);
}

} // namespace glasswing
