// The main window: a small transparent window with no title bar or buttons, moved by pressing
// anywhere on its background (a press on the phone chip lists the phones instead); it opens the
// welcome window on first use and on the menu command, and the Trusted Devices window centred on
// itself; closing it closes the welcome window and ends the application, whatever else is open.

#include "mainwindow/WindowPosition.h"
#include "mirroring/TrustedDevicesWindow.h"
#include "mirroring/ViewController.h"
#include "platform/ViewAlpha.h"
#include "welcome/WelcomeViewController.h"
#include "welcome/WelcomeWindowController.h"

#include <QEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace glasswing {

namespace {

const QString kHasShownMacWelcome = QStringLiteral("Has Shown Mac Welcome");

} // namespace

void ViewController::prepareWindow()
{
    // The window's style as laid out: only what the views draw, nothing of the window's own.
    m_view->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    m_view->setAttribute(Qt::WA_TranslucentBackground);
    m_view->installEventFilter(this);
    iPhoneChip->installEventFilter(this);
    iPhoneCounter->installEventFilter(this);
    // Out of the way of the work: the top right corner of the screen.
    if (QScreen* screen = m_view->screen()) {
        const QRect available = screen->availableGeometry();
        m_view->move(available.right() - m_view->width() - 24, available.top() + 24);
    }
    // Unless the user moved it elsewhere on an earlier run, onto a screen that is still there.
    (new WindowPosition(m_view.get(), QStringLiteral("Main Window Position"), defaults))->restore();
}

bool ViewController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == iPhoneChip || watched == iPhoneCounter) {
        // Only a chip that shows (a phone is connected) takes the press; otherwise it moves the window.
        if (event->type() == QEvent::MouseButtonPress && alphaValue(iPhoneChip) > 0.0
            && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && !m_phones.isEmpty()) {
            showPhoneList();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
    if (watched != m_view.get())
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Show:
        if (!event->spontaneous())
            QTimer::singleShot(0, this, &ViewController::viewDidAppear);
        break;
    case QEvent::Close:
        windowWillClose();
        break;
    case QEvent::MouseButtonPress:
        // Presses that no control took come here: they move the window.
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            mouseDown(static_cast<QMouseEvent*>(event));
            return true;
        }
        break;
    case QEvent::MouseMove:
        if (m_dragOffset && (static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton)) {
            m_view->move(static_cast<QMouseEvent*>(event)->globalPosition().toPoint() - *m_dragOffset);
            return true;
        }
        break;
    case QEvent::MouseButtonRelease:
        m_dragOffset.reset();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void ViewController::viewDidAppear()
{
    QWidget* window = m_view->window();
    // Nothing of the window's own shows: no background, no frame, no title-bar buttons.
    window->setAutoFillBackground(false);
    QPalette clear = window->palette();
    clear.setColor(QPalette::Window, Qt::transparent);
    window->setPalette(clear);
    m_movableByWindowBackground = true;
    const Qt::WindowFlags buttons
        = Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint;
    if (window->windowFlags() & buttons) {
        window->setWindowFlags(window->windowFlags() & ~buttons);
        window->show(); // new window flags hide a window
    }
    if (!defaults.boolForKey(kHasShownMacWelcome))
        openWelcomeWindow();
}

void ViewController::mouseDown(QMouseEvent* event)
{
    if (!m_movableByWindowBackground)
        return;
    // The window system's own move works on X11 and Wayland alike; without a window manager
    // that offers one, the window follows the pointer itself.
    QWindow* handle = m_view->window()->windowHandle();
    if (handle && handle->startSystemMove())
        return;
    m_dragOffset = event->globalPosition().toPoint() - m_view->window()->pos();
}

void ViewController::openWelcomeWindow()
{
    // The window this controller opened says whether one is open, not the stored flag: a store
    // that cannot be written (no home, a full or read-only disk) would otherwise open another
    // window on every request, or none ever again once "open" stuck.
    if (welcomeWindow && welcomeWindow->isVisible())
        return;
    WelcomeWindowController* controller = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    // Its phone button asks for "Connect a Phone", which the menus' command also opens.
    QObject::connect(controller->contentViewController(), &WelcomeViewController::connectPhoneRequested, this,
                     [this] { m_center.post(QStringLiteral("Connect a Phone")); });
    welcomeWindow = controller->window();
    controller->showWindow();
}

void ViewController::showTrustedDevicesWindow()
{
    if (!m_trustedDevices) {
        m_trustedDevices = new TrustedDevicesWindow(m_view.get());
        // Shown first, so that its frame is known when it is placed.
        m_trustedDevices->show();
        // A phone no longer trusted does not keep mirroring until it leaves by itself.
        QObject::connect(m_trustedDevices, &TrustedDevicesWindow::devicesRemoved, this,
                         [this](const QStringList& userIDs) {
                             for (const QString& userID : userIDs)
                                 disconnectUserID(userID);
                         });
        QRect frame = m_trustedDevices->frameGeometry();
        frame.moveCenter(m_view->window()->frameGeometry().center());
        if (const QScreen* screen = m_view->screen()) {
            // Whole on the screen, even for a main window moved to its edge.
            const QRect available = screen->availableGeometry();
            frame.moveLeft(std::clamp(frame.left(), available.left(),
                                      std::max(available.left(), available.right() - frame.width())));
            frame.moveTop(std::clamp(frame.top(), available.top(),
                                     std::max(available.top(), available.bottom() - frame.height())));
        }
        m_trustedDevices->move(frame.topLeft());
    }
    m_trustedDevices->show();
    m_trustedDevices->raise();
    m_trustedDevices->activateWindow();
}

void ViewController::windowWillClose()
{
    if (welcomeWindow)
        welcomeWindow->close();
    defaults.setBool(QStringLiteral("Main Window Open"), false);
    Q_EMIT mainWindowClosed();
}

} // namespace glasswing
