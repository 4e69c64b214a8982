#pragma once

#include "mirroring/WebViewerAddress.h"

#include <QObject>
#include <QPointer>

#include <functional>

namespace glasswing {

class ConnectPhoneWindow;
class NotificationCenter;

// What "Connect a Phone" needs of the web viewer's listener. Each is called on the main thread
// whenever the window reads; `port` gives 0 while the listener is not running, and an empty
// `renewIdentity` means the identity cannot be renewed from the window.
struct WebViewerListener {
    std::function<quint16()> port;
    std::function<QByteArray()> certificateSha256;
    std::function<void()> renewIdentity;
};

// The "Connect a Phone" command: opens the window on demand (one at a time, brought forward when
// asked again), centred on `anchor`, from the menus' signal and the notification "Connect a
// Phone" that the welcome window's phone button posts. Owned by the composition root, with
// `center`, `anchor` and the listener outliving it. Main thread.
class ConnectPhoneCommand : public QObject {
    Q_OBJECT
public:
    ConnectPhoneCommand(NotificationCenter& center, WebViewerListener listener, QWidget* anchor,
                        QObject* parent = nullptr);
    ~ConnectPhoneCommand() override;

    // This computer's address for phones now: its host name and ordered addresses, with the
    // listener's port and certificate.
    static WebViewerAddress currentAddress(const WebViewerListener& listener);

    void open();
    // The window while it is open.
    ConnectPhoneWindow* window() const;

private:
    NotificationCenter& m_center;
    quint64 m_observer;
    WebViewerListener m_listener;
    QPointer<QWidget> m_anchor;
    QPointer<ConnectPhoneWindow> m_window;
};

} // namespace glasswing
