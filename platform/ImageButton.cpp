#include "platform/ImageButton.h"

#include <QPainter>
#include <QStyleOptionButton>

#include <cmath>

namespace glasswing {

ImageButton::ImageButton(QWidget* parent)
    : QAbstractButton(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void ImageButton::setImage(const std::optional<NamedImage>& image)
{
    m_image = image;
    update();
}

void ImageButton::setAlternateImage(const std::optional<NamedImage>& image)
{
    m_alternate = image;
    update();
}

void ImageButton::setBordered(bool bordered)
{
    m_bordered = bordered;
    update();
}

void ImageButton::setButtonType(ButtonType type)
{
    m_type = type;
    update();
}

const std::optional<NamedImage>& ImageButton::shownImage() const
{
    return m_type == ButtonType::MomentaryChange && isDown() ? m_alternate : m_image;
}

QSize ImageButton::sizeHint() const
{
    return m_image ? m_image->size.toSize() : QSize(80, 24);
}

void ImageButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (m_bordered) {
        QStyleOptionButton option;
        option.initFrom(this);
        if (isDown())
            option.state |= QStyle::State_Sunken;
        style()->drawControl(QStyle::CE_PushButtonBevel, &option, &painter, this);
    }
    const std::optional<NamedImage>& image = shownImage();
    if (!image || image->size.isEmpty())
        return;
    const qreal ratio = devicePixelRatioF();
    const QSizeF fitted = image->size.scaled(QSizeF(size()), Qt::KeepAspectRatio);
    const QSize pixels(qRound(fitted.width() * ratio), qRound(fitted.height() * ratio));
    if (pixels.isEmpty())
        return;
    if (m_renderedName != image->name || m_rendered.size() != pixels || m_rendered.devicePixelRatio() != ratio) {
        m_rendered = image->pixmap(QSizeF(pixels) / ratio, ratio);
        m_renderedName = image->name;
    }
    const QPointF origin(std::floor((width() * ratio - pixels.width()) / 2) / ratio,
                         std::floor((height() * ratio - pixels.height()) / 2) / ratio);
    painter.drawPixmap(origin, m_rendered);
}

} // namespace glasswing
