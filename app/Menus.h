#pragma once

#include "mirroring/ConnectedPhones.h"

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPointer>

class QAction;
class QMenu;
class QMenuBar;
class QSystemTrayIcon;
class QWidget;

namespace glasswing {

class AppDelegate;
class MirrorFileCommand;

// The application's menu commands, and everywhere a Linux desktop user looks for them: the
// main window's context menu, the tray icon's menu where the desktop has a tray, and a menu bar
// where the platform keeps a global one. Standard shortcuts where one exists (Quit).
//
// "Show Welcome Window" and "Disconnect" go to the application delegate, which posts them to
// the main controller; "Check for Updates…" is wired by the delegate when launch finishes;
// "Connect a Phone…" and "Trusted Devices…" ask whoever shows those windows; "Mirror a File…" and
// "Stop Mirroring" are served by the menus' own MirrorFileCommand; "About Glasswing" opens the
// About window. A build without an update feed hides "Check for Updates Daily". The menu's
// first line, and the tray icon's tooltip and look, say whether phones are connected and which
// (`showPhones`). A left click on the tray icon brings the main window forward. Main thread.
class Menus : public QObject {
    Q_OBJECT
public:
    explicit Menus(QObject* parent = nullptr);
    ~Menus() override;

    QAction* const connectPhone;
    QAction* const showWelcomeWindow;
    QAction* const disconnect;
    QAction* const checkForUpdates;
    QAction* const checkAutomatically; // checkable: daily automatic update checks
    QAction* const trustedDevices;
    QAction* const mirrorFile;
    QAction* const stopMirroring; // shown, with the file's name, only while a file is mirrored
    QAction* const about;
    QAction* const quit;
    QAction* const phonesStatus; // disabled: says who is connected

    QList<QAction*> actions() const;
    // The menu the tray icon and the context menu show.
    QMenu* menu() const { return m_menu; }
    // Made in `attach`, and shown where the desktop has a tray.
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    MirrorFileCommand& fileMirror() const { return *m_fileMirror; }
    // The About window, while open.
    QWidget* aboutWindow() const { return m_about; }

    // The connected phones, for the menu's status line and the tray icon.
    void showPhones(const QList<ConnectedPhone>& phones);
    // The tray icon's two looks: the app's icon with a cyan dot (a phone connected) or an amber one.
    static QIcon trayIconImage(bool connected);

    void connectTo(AppDelegate& delegate);
    // Puts the commands in `mainWindow`'s context menu, the tray and the global menu bar.
    void attach(QWidget* mainWindow);

Q_SIGNALS:
    void connectPhoneRequested();
    void trustedDevicesRequested();

private:
    void showAbout();

    QMenu* m_menu;
    MirrorFileCommand* m_fileMirror;
    QPointer<QWidget> m_mainWindow;
    QPointer<QWidget> m_about;
    QSystemTrayIcon* m_tray = nullptr;
    QMenuBar* m_menuBar = nullptr;
    QList<ConnectedPhone> m_phones;
    int m_trayConnected = -1; // the look the tray icon has (0, 1), or -1 for none yet
};

} // namespace glasswing
