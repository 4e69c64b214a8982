#include "app/Menus.h"

#include "app/AppDelegate.h"
#include "platform/NamedImage.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QWidget>

namespace glasswing {

namespace {

QIcon applicationIcon()
{
    QIcon icon;
    if (const auto image = imageNamed(QStringLiteral("Glasswing"))) {
        for (int size : {16, 22, 24, 32, 48, 64})
            icon.addPixmap(image->pixmap(QSizeF(size, size), 1.0));
    }
    return icon;
}

} // namespace

Menus::Menus(QObject* parent)
    : QObject(parent)
    , connectPhone(new QAction(QStringLiteral("Connect a Phone…"), this))
    , showWelcomeWindow(new QAction(QStringLiteral("Show Welcome Window"), this))
    , disconnect(new QAction(QStringLiteral("Disconnect"), this))
    , checkForUpdates(new QAction(QStringLiteral("Check for Updates…"), this))
    , checkAutomatically(new QAction(QStringLiteral("Check for Updates Daily"), this))
    , trustedDevices(new QAction(QStringLiteral("Trusted Devices…"), this))
    , quit(new QAction(QStringLiteral("Quit Glasswing"), this))
    , m_menu(new QMenu())
{
    checkAutomatically->setCheckable(true);
    quit->setShortcut(QKeySequence::Quit);
    quit->setShortcutContext(Qt::ApplicationShortcut);
    quit->setMenuRole(QAction::QuitRole);
    checkForUpdates->setMenuRole(QAction::ApplicationSpecificRole);
    QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
    QObject::connect(connectPhone, &QAction::triggered, this, &Menus::connectPhoneRequested);
    QObject::connect(trustedDevices, &QAction::triggered, this, &Menus::trustedDevicesRequested);

    m_menu->addAction(connectPhone);
    m_menu->addSeparator();
    m_menu->addAction(showWelcomeWindow);
    m_menu->addAction(trustedDevices);
    m_menu->addAction(disconnect);
    m_menu->addSeparator();
    m_menu->addAction(checkForUpdates);
    m_menu->addAction(checkAutomatically);
    m_menu->addSeparator();
    m_menu->addAction(quit);
}

Menus::~Menus()
{
    delete m_menuBar;
    delete m_tray;
    delete m_menu;
}

QList<QAction*> Menus::actions() const
{
    return {connectPhone, showWelcomeWindow, trustedDevices, disconnect, checkForUpdates, checkAutomatically, quit};
}

void Menus::connectTo(AppDelegate& delegate)
{
    QObject::connect(showWelcomeWindow, &QAction::triggered, &delegate, &AppDelegate::ShowWelcomeWindow);
    QObject::connect(disconnect, &QAction::triggered, &delegate, &AppDelegate::DisconnectMenuItem);
    // The daily checks' setting, as stored, and the user's changes to it.
    StandardUpdaterController& updates = delegate.updaterController();
    checkAutomatically->setChecked(updates.automaticallyChecksForUpdates());
    QObject::connect(checkAutomatically, &QAction::toggled, &updates,
                     &StandardUpdaterController::setAutomaticallyChecksForUpdates);
}

void Menus::attach(QWidget* mainWindow)
{
    // A right click anywhere on the window; the shortcuts work while it has the focus.
    mainWindow->addActions(actions());
    mainWindow->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(mainWindow, &QWidget::customContextMenuRequested, m_menu,
                     [this, mainWindow](const QPoint& at) { m_menu->popup(mainWindow->mapToGlobal(at)); });

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(applicationIcon());
        m_tray->setToolTip(QStringLiteral("Glasswing"));
        m_tray->setContextMenu(m_menu);
        // A click on the icon brings the main window forward.
        QObject::connect(m_tray, &QSystemTrayIcon::activated, mainWindow, [mainWindow](QSystemTrayIcon::ActivationReason reason) {
            if (reason != QSystemTrayIcon::Trigger)
                return;
            mainWindow->show();
            mainWindow->raise();
            mainWindow->activateWindow();
        });
        m_tray->show();
    }

    // Only a platform that keeps one global menu bar shows a menu bar without a window.
    m_menuBar = new QMenuBar(nullptr);
    if (m_menuBar->isNativeMenuBar()) {
        QMenu* application = m_menuBar->addMenu(QStringLiteral("Glasswing"));
        application->addActions(actions());
    } else {
        delete m_menuBar;
        m_menuBar = nullptr;
    }
}

} // namespace glasswing
