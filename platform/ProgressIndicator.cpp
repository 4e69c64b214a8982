#include "platform/ProgressIndicator.h"

#include "platform/ViewAlpha.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QWindow>

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
    updateTimer();
    update();
}

void ProgressIndicator::stopAnimation()
{
    if (!m_animating)
        return;
    m_animating = false;
    updateTimer();
    update();
}

void ProgressIndicator::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    updateTimer();
}

void ProgressIndicator::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    updateTimer();
}

bool ProgressIndicator::event(QEvent* event)
{
    // `setAlphaValue` says each change of alpha this way.
    if (event->type() == QEvent::DynamicPropertyChange)
        updateTimer();
    return QWidget::event(event);
}

bool ProgressIndicator::eventFilter(QObject* watched, QEvent* event)
{
    // A window that is minimised or unmapped stops being exposed, without hiding its widgets.
    if (watched == m_watchedWindow && event->type() == QEvent::Expose)
        QMetaObject::invokeMethod(this, &ProgressIndicator::updateTimer, Qt::QueuedConnection);
    return QWidget::eventFilter(watched, event);
}

bool ProgressIndicator::platformShowsWindows() const
{
    return QGuiApplication::platformName() != QLatin1String("offscreen");
}

bool ProgressIndicator::canBeSeen() const
{
    if (!platformShowsWindows() || !isVisible() || alphaValue(this) <= 0.0)
        return false;
    const QWindow* window = this->window()->windowHandle();
    return !window || window->isExposed();
}

void ProgressIndicator::updateTimer()
{
    // The native window exists only once the window is first shown, and may be made anew.
    if (QWindow* window = this->window()->windowHandle(); window != m_watchedWindow) {
        if (m_watchedWindow)
            m_watchedWindow->removeEventFilter(this);
        m_watchedWindow = window;
        if (window)
            window->installEventFilter(this);
    }
    const bool run = m_animating && canBeSeen();
    if (run && !m_timer.isActive())
        m_timer.start();
    else if (!run)
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
