#pragma once

#include "platform/UserDefaults.h"

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QTimer>

#include <optional>

class QWidget;

namespace glasswing {

// Brings a window back where the user left it: its position is stored in the user defaults under
// `key` (as {"x": …, "y": …}) once a move has settled (half a second without another) and when the
// window closes; `restore()` puts it there again on the next run, but only when the window would
// lie on a screen that still exists (its centre on one), so that a monitor unplugged since never
// holds the window out of sight. Otherwise the window keeps the placement it was given.
//
// Main thread. Watches `window` through an event filter and is owned by it.
class WindowPosition : public QObject {
    Q_OBJECT
public:
    WindowPosition(QWidget* window, const QString& key, UserDefaults defaults = UserDefaults());

    // Moves the window to the stored position when there is one and it is on a screen; returns
    // whether it moved. Call before the window is first shown.
    bool restore();
    // The stored position; nothing when none is stored or it is not a pair of whole numbers.
    std::optional<QPoint> stored() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void save();

    QPointer<QWidget> m_window;
    const QString m_key;
    UserDefaults m_defaults;
    QTimer m_settle;
};

} // namespace glasswing
