#pragma once

#include "platform/updates/StandardUpdaterController.h"

#include <QObject>

#include <atomic>

class QAction;

namespace glasswing {

class NotificationCenter;
class SerialQueue;
class UserDefaults;

// The application delegate: lives for the whole run, on the main thread.
//
// It gives every window the app's icon from the start, turns the two menu commands into
// notifications for the main controller, gives the application its dark appearance when launch
// finishes, and on termination tells the plug-in
// that no phone is connected and clears the two open-window flags.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // `checkForUpdatesMenuItem` is the menu item that starts an update check; it is wired to the
    // update controller when launch finishes.
    AppDelegate(UserDefaults& defaults, NotificationCenter& center, SerialQueue& serializationQueue,
                QAction& checkForUpdatesMenuItem, QObject* parent = nullptr);

    void applicationDidFinishLaunching();
    StandardUpdaterController& updaterController() { return m_updaterController; }
    // Runs once, however many ways termination is reached (last window closed, quit, signal,
    // exit() from the platform), from whichever thread reaches it first.
    void applicationWillTerminate();
    bool applicationSupportsSecureRestorableState() const { return true; }
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }

public Q_SLOTS:
    void ShowWelcomeWindow();
    void DisconnectMenuItem();

private:
    UserDefaults& m_defaults;
    NotificationCenter& m_center;
    SerialQueue& m_serializationQueue;
    QAction& m_checkForUpdatesMenuItem;
    // Made and started with the delegate: it checks by itself only when the user turned automatic
    // checks on.
    StandardUpdaterController m_updaterController{true};
    std::atomic<bool> m_terminated{false};
};

} // namespace glasswing
