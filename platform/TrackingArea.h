#pragma once

#include <QObject>
#include <QRect>
#include <QVariantMap>

class QWidget;

namespace glasswing {

class TrackingArea;

// Who hears of the mouse entering and leaving a tracking area.
class TrackingAreaOwner {
public:
    virtual ~TrackingAreaOwner() = default;
    // `area` is the tracking area the event belongs to; never null.
    virtual void mouseEntered(TrackingArea* area) = 0;
    virtual void mouseExited(TrackingArea* area) = 0;
};

// A region of a view that reports the mouse entering and leaving it to its owner, with a
// dictionary given at creation. Reports arrive whether or not the application is active: they
// come from the pointer's own crossing events, which the window system sends to any window.
// Lives as long as its view; main thread.
class TrackingArea : public QObject {
    Q_OBJECT
public:
    enum Option {
        MouseEnteredAndExited = 0x01,
        ActiveAlways = 0x80,
    };

    // Watches `rect` in `view`'s coordinates; `view` takes ownership.
    TrackingArea(QWidget* view, const QRect& rect, int options, TrackingAreaOwner* owner, QVariantMap userInfo);

    QRect rect() const { return m_rect; }
    int options() const { return m_options; }
    const QVariantMap& userInfo() const { return m_userInfo; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setInside(bool inside);

    QWidget* m_view;
    const QRect m_rect;
    const int m_options;
    TrackingAreaOwner* m_owner;
    const QVariantMap m_userInfo;
    bool m_inside = false;
};

} // namespace glasswing
