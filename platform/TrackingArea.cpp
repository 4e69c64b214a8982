#include "platform/TrackingArea.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QWidget>

namespace glasswing {

TrackingArea::TrackingArea(QWidget* view, const QRect& rect, int options, TrackingAreaOwner* owner,
                           QVariantMap userInfo)
    : QObject(view)
    , m_view(view)
    , m_rect(rect)
    , m_options(options)
    , m_owner(owner)
    , m_userInfo(std::move(userInfo))
{
    // Movement inside the view matters only for an area smaller than the view.
    view->setAttribute(Qt::WA_Hover);
    view->installEventFilter(this);
}

bool TrackingArea::eventFilter(QObject*, QEvent* event)
{
    if (!(m_options & MouseEnteredAndExited))
        return false;
    switch (event->type()) {
    case QEvent::Enter:
        setInside(m_rect.contains(static_cast<QEnterEvent*>(event)->position().toPoint()));
        break;
    case QEvent::HoverMove:
        setInside(m_rect.contains(static_cast<QHoverEvent*>(event)->position().toPoint()));
        break;
    case QEvent::Leave:
    case QEvent::Hide:
        setInside(false);
        break;
    default:
        break;
    }
    return false;
}

void TrackingArea::setInside(bool inside)
{
    if (inside == m_inside)
        return;
    m_inside = inside;
    if (inside)
        m_owner->mouseEntered(this);
    else
        m_owner->mouseExited(this);
}

} // namespace glasswing
