#include "app/Menus.h"

#include "app/AboutWindow.h"
#include "app/AppDelegate.h"
#include "app/MirrorFileCommand.h"
#include "platform/ApplicationIcon.h"
#include "platform/NamedImage.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QWidget>

namespace glasswing {

QIcon Menus::trayIconImage(bool connected)
{
    // The app's icon with a status dot in its lower right corner, ringed in the dark so that it
    // reads on light and dark panels alike.
    const QColor dot = connected ? QColor(0x4f, 0xe8, 0xe0) : QColor(0xff, 0xb8, 0x4d);
    QIcon icon;
    const auto image = imageNamed(QStringLiteral("Glasswing"));
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        if (image)
            painter.drawPixmap(0, 0, image->pixmap(QSizeF(size, size), 1.0));
        const qreal radius = std::max(3.0, size * 0.2);
        const QPointF centre(size - radius - 0.5, size - radius - 0.5);
        painter.setPen(QPen(QColor(0x16, 0x1b, 0x20), std::max(1.0, size / 16.0)));
        painter.setBrush(dot);
        painter.drawEllipse(centre, radius, radius);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

Menus::Menus(QObject* parent)
    : QObject(parent)
    , connectPhone(new QAction(QStringLiteral("Connect a Phone…"), this))
    , showWelcomeWindow(new QAction(QStringLiteral("Show Welcome Window"), this))
    , disconnect(new QAction(QStringLiteral("Disconnect"), this))
    , checkForUpdates(new QAction(QStringLiteral("Check for Updates…"), this))
    , checkAutomatically(new QAction(QStringLiteral("Check for Updates Daily"), this))
    , trustedDevices(new QAction(QStringLiteral("Trusted Devices…"), this))
    , mirrorFile(new QAction(QStringLiteral("Mirror a File…"), this))
    , stopMirroring(new QAction(QStringLiteral("Stop Mirroring"), this))
    , about(new QAction(QStringLiteral("About Glasswing"), this))
    , quit(new QAction(QStringLiteral("Quit Glasswing"), this))
    , phonesStatus(new QAction(this))
    , m_menu(new QMenu())
    , m_fileMirror(new MirrorFileCommand(*mirrorFile, *stopMirroring, this))
{
    phonesStatus->setEnabled(false);
    checkAutomatically->setCheckable(true);
    quit->setShortcut(QKeySequence::Quit);
    quit->setShortcutContext(Qt::ApplicationShortcut);
    quit->setMenuRole(QAction::QuitRole);
    checkForUpdates->setMenuRole(QAction::ApplicationSpecificRole);
    QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
    QObject::connect(connectPhone, &QAction::triggered, this, &Menus::connectPhoneRequested);
    QObject::connect(trustedDevices, &QAction::triggered, this, &Menus::trustedDevicesRequested);
    about->setMenuRole(QAction::AboutRole);
    QObject::connect(about, &QAction::triggered, this, &Menus::showAbout);
    showPhones({});

    m_menu->addAction(phonesStatus);
    m_menu->addSeparator();
    m_menu->addAction(connectPhone);
    m_menu->addSeparator();
    m_menu->addAction(showWelcomeWindow);
    m_menu->addAction(trustedDevices);
    m_menu->addAction(disconnect);
    m_menu->addSeparator();
    m_menu->addAction(mirrorFile);
    m_menu->addAction(stopMirroring);
    m_menu->addSeparator();
    m_menu->addAction(checkForUpdates);
    m_menu->addAction(checkAutomatically);
    m_menu->addAction(about);
    m_menu->addSeparator();
    m_menu->addAction(quit);
}

Menus::~Menus()
{
    delete m_about.data();
    delete m_menuBar;
    delete m_tray;
    delete m_menu;
}

QList<QAction*> Menus::actions() const
{
    return {connectPhone,    showWelcomeWindow,  trustedDevices, disconnect, mirrorFile,
            stopMirroring,   checkForUpdates,    checkAutomatically, about,  quit};
}

void Menus::showPhones(const QList<ConnectedPhone>& phones)
{
    m_phones = phones;
    QString status = phones::summary(phones.size());
    if (!phones.isEmpty()) {
        QStringList names;
        for (const ConnectedPhone& phone : phones)
            names << phone.name;
        // A menu line is one line: past the room of a menu, the names are cut with an ellipsis.
        status += QStringLiteral(": ") + names.join(QStringLiteral(", "));
        status = QFontMetrics(m_menu->font()).elidedText(status, Qt::ElideRight, 320);
    }
    // An ampersand in a name is a letter, not a mnemonic.
    phonesStatus->setText(status.replace(u'&', QStringLiteral("&&")));
    if (!m_tray)
        return;
    const bool connected = !phones.isEmpty();
    if (m_trayConnected != int(connected)) {
        m_trayConnected = int(connected);
        m_tray->setIcon(trayIconImage(connected));
    }
    m_tray->setToolTip(phones::trayToolTip(phones));
}

void Menus::connectTo(AppDelegate& delegate)
{
    QObject::connect(showWelcomeWindow, &QAction::triggered, &delegate, &AppDelegate::ShowWelcomeWindow);
    QObject::connect(disconnect, &QAction::triggered, &delegate, &AppDelegate::DisconnectMenuItem);
    // The daily checks' setting, as stored, and the user's changes to it.
    StandardUpdaterController& updates = delegate.updaterController();
    // A build without a feed never checks by itself: the choice would mean nothing.
    checkAutomatically->setVisible(updates.hasFeed());
    checkAutomatically->setChecked(updates.automaticallyChecksForUpdates());
    QObject::connect(checkAutomatically, &QAction::toggled, &updates,
                     &StandardUpdaterController::setAutomaticallyChecksForUpdates);
}

void Menus::attach(QWidget* mainWindow)
{
    // A right click anywhere on the window; the shortcuts work while it has the focus.
    mainWindow->addActions(actions());
    m_mainWindow = mainWindow;
    m_fileMirror->setDialogParent(mainWindow);
    mainWindow->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(mainWindow, &QWidget::customContextMenuRequested, m_menu,
                     [this, mainWindow](const QPoint& at) { m_menu->popup(mainWindow->mapToGlobal(at)); });

    // Made even without a tray, so that it follows the phones and shows once a tray is there.
    m_tray = new QSystemTrayIcon();
    m_tray->setContextMenu(m_menu);
    showPhones(m_phones);
    {
        // A click on the icon brings the main window forward.
        QObject::connect(m_tray, &QSystemTrayIcon::activated, mainWindow,
                         [mainWindow](QSystemTrayIcon::ActivationReason reason) {
                             if (reason != QSystemTrayIcon::Trigger)
                                 return;
                             mainWindow->setWindowState(mainWindow->windowState() & ~Qt::WindowMinimized);
                             mainWindow->show();
                             mainWindow->raise();
                             mainWindow->activateWindow();
                         });
        if (QSystemTrayIcon::isSystemTrayAvailable())
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

namespace glasswing {

void Menus::showAbout()
{
    if (!m_about)
        m_about = new AboutWindow(m_mainWindow);
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

} // namespace glasswing
