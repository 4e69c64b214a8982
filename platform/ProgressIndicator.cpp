#include "platform/ProgressIndicator.h"

#include <QPainter>

#include <algorithm>

namespace glasswing {

namespace {

constexpr int kSpokes = 12;

} // namespace

ProgressIndicator::ProgressIndicator(QWidget* parent)
    : QWidget(parent)
    , m_timer(this)
{
    m_timer.setInterval(1000 / kSpokes);
    connect(&m_timer, &QTimer::timeout, this, &ProgressIndicator::advance);
}

void ProgressIndicator::startAnimation()
{
    if (m_animating)
        return;
    m_animating = true;
    if (isVisible())
        m_timer.start();
    update();
}

void ProgressIndicator::stopAnimation()
{
    if (!m_animating)
        return;
    m_animating = false;
    m_timer.stop();
    update();
}

void ProgressIndicator::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_animating)
        m_timer.start();
}

void ProgressIndicator::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    m_timer.stop();
}

void ProgressIndicator::advance()
{
    m_step = (m_step + 1) % kSpokes;
    update();
}

void ProgressIndicator::paintEvent(QPaintEvent*)
{
    if (!m_animating)
        return;
    const qreal side = std::min(width(), height());
    if (side <= 0)
        return;

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal outer = side * 0.42;
    const qreal inner = side * 0.22;
    QPen pen(QColor(235, 235, 240));
    pen.setWidthF(side * 0.085);
    pen.setCapStyle(Qt::RoundCap);
    for (int spoke = 0; spoke < kSpokes; ++spoke) {
        // The spoke at the current step is brightest; those behind it fade out in turn.
        const int behind = (m_step - spoke + kSpokes) % kSpokes;
        painter.setOpacity(1.0 - 0.8 * behind / (kSpokes - 1));
        painter.setPen(pen);
        painter.drawLine(QPointF(0, -inner), QPointF(0, -outer));
        painter.rotate(360.0 / kSpokes);
    }
}

} // namespace glasswing
