#pragma once

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
// About window. A build without an update feed hides "Check for Updates Daily". Main thread.
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

    QList<QAction*> actions() const;
    // The menu the tray icon and the context menu show.
    QMenu* menu() const { return m_menu; }
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    MirrorFileCommand& fileMirror() const { return *m_fileMirror; }
    // The About window, while open.
    QWidget* aboutWindow() const { return m_about; }

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
};

} // namespace glasswing
