#include "mainwindow/WindowPosition.h"

#include <QEvent>
#include <QGuiApplication>
#include <QJsonObject>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace glasswing {

WindowPosition::WindowPosition(QWidget* window, const QString& key, UserDefaults defaults)
    : QObject(window)
    , m_window(window)
    , m_key(key)
    , m_defaults(std::move(defaults))
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(500);
    connect(&m_settle, &QTimer::timeout, this, &WindowPosition::save);
    window->installEventFilter(this);
}

std::optional<QPoint> WindowPosition::stored() const
{
    const QJsonObject position = m_defaults.objectForKey(m_key).toObject();
    const QJsonValue x = position.value(QStringLiteral("x"));
    const QJsonValue y = position.value(QStringLiteral("y"));
    const auto whole = [](const QJsonValue& value) {
        const double number = value.toDouble(NAN);
        return value.isDouble() && std::isfinite(number) && std::abs(number) < 1e6 && number == std::trunc(number);
    };
    if (!whole(x) || !whole(y))
        return std::nullopt;
    return QPoint(x.toInt(), y.toInt());
}

bool WindowPosition::restore()
{
    const std::optional<QPoint> position = stored();
    if (!position || !m_window)
        return false;
    const QRect frame(*position, m_window->frameGeometry().size());
    if (!QGuiApplication::screenAt(frame.center()))
        return false;
    m_window->move(*position);
    return true;
}

bool WindowPosition::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_window) {
        if (event->type() == QEvent::Move && m_window->isVisible())
            m_settle.start();
        else if (event->type() == QEvent::Close)
            save();
    }
    return QObject::eventFilter(watched, event);
}

void WindowPosition::save()
{
    m_settle.stop();
    if (!m_window || !m_window->isVisible())
        return;
    const QPoint position = m_window->pos();
    if (stored() == position)
        return;
    m_defaults.setObject(m_key, QJsonObject{{QStringLiteral("x"), position.x()}, {QStringLiteral("y"), position.y()}});
}

} // namespace glasswing
