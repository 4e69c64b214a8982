#include "welcome/WelcomeWindowController.h"

#include "welcome/WelcomeViewController.h"

#include <QScreen>
#include <QWidget>

namespace glasswing {

WelcomeWindowController::WelcomeWindowController(QObject* parent)
    : QObject(parent)
    , m_content(new WelcomeViewController(this))
{
    // The window is the view controller's view, which is loaded here, as the scene is made.
    m_content->view();
    QObject::connect(m_content, &WelcomeViewController::windowClosed, this, &QObject::deleteLater);
}

QWidget* WelcomeWindowController::window() const
{
    return m_content->view();
}

void WelcomeWindowController::showWindow()
{
    QWidget* shown = window();
    // In the middle of the screen, where a window manager would put a dialog of its own.
    if (QScreen* screen = shown->screen()) {
        QRect frame = shown->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        shown->move(frame.topLeft());
    }
    shown->show();
    shown->raise();
    shown->activateWindow();
}

WelcomeWindowController* instantiateControllerWithIdentifier(const QString& identifier)
{
    if (identifier == QStringLiteral("Welcome Controller"))
        return new WelcomeWindowController();
    return nullptr;
}

} // namespace glasswing
