#include "app/AppDelegate.h"

#include "app/DarkAppearance.h"
#include "mirroring/StatusFile.h"
#include "platform/ApplicationIcon.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/UserDefaults.h"

#include <QAction>
#include <QApplication>

namespace glasswing {

AppDelegate::AppDelegate(UserDefaults& defaults, NotificationCenter& center, SerialQueue& serializationQueue,
                         QAction& checkForUpdatesMenuItem, QObject* parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_center(center)
    , m_serializationQueue(serializationQueue)
    , m_checkForUpdatesMenuItem(checkForUpdatesMenuItem)
{
    // Every window, the ones made before launch finishes included, carries the app's icon rather
    // than the window manager's generic one.
    QApplication::setWindowIcon(applicationIcon());
}

void AppDelegate::applicationDidFinishLaunching()
{
    applyDarkAppearance();
    // From here on the menu item goes straight to the update controller.
    QObject::connect(&m_checkForUpdatesMenuItem, &QAction::triggered, &m_updaterController,
                     &StandardUpdaterController::checkForUpdates, Qt::UniqueConnection);
}

void AppDelegate::applicationWillTerminate()
{
    if (m_terminated.exchange(true))
        return;
    // A status update still queued must not land after the final false: let the queue finish
    // first, then write false synchronously.
    m_serializationQueue.waitUntilIdle();
    writeStatus(false);
    m_defaults.setBool(QStringLiteral("Main Window Open"), false);
    m_defaults.setBool(QStringLiteral("Welcome Window Open"), false);
}

void AppDelegate::ShowWelcomeWindow()
{
    m_center.post(QStringLiteral("Show Welcome Window"));
}

void AppDelegate::DisconnectMenuItem()
{
    m_center.post(QStringLiteral("Disconnect Menu Item"));
}

} // namespace glasswing
