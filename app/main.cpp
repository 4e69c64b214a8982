#include "app/AppDelegate.h"
#include "app/CommandLine.h"
#include "app/ConnectPhoneCommand.h"
#include "app/ExitGuard.h"
#include "app/Menus.h"
#include "app/SingleInstance.h"
#include "app/TerminationSignals.h"
#include "mirroring/ViewController.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/UserDefaults.h"
#include "platform/peer/HeapTuning.h"

#include <QApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Without a display the application still runs (on a server, in CI), on Qt's offscreen platform.
void chooseOffscreenWithoutDisplay()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fputs("glasswing: no display found (DISPLAY and WAYLAND_DISPLAY are unset); "
                   "running on the offscreen platform, windows are not shown\n",
                   stderr);
    }
}

// The web viewer's listener as "Connect a Phone" sees it: the one place where the window meets
// the view controller's listener, which outlives the window's command.
glasswing::WebViewerListener webViewerListenerOf(glasswing::ViewController& viewController)
{
    return {
        .port = [&viewController] { return viewController.webViewerPort(); },
        .certificateSha256 = [&viewController] { return viewController.webIdentity().fingerprint(); },
        .renewIdentity = [&viewController] { viewController.renewWebIdentity(); },
    };
}

} // namespace

int main(int argc, char* argv[])
{
    // Before anything else, and before any thread exists: a termination signal from here on waits
    // until its handler is in place, instead of killing the program with its files half-updated.
    glasswing::TerminationSignals::block();
    // A reader that goes away (a closed pipe on standard output, a phone that vanished) must not
    // end the program; writes report the error instead.
    std::signal(SIGPIPE, SIG_IGN);
    glasswing::peer::keepLargeBuffersInHeap();
    // --help and --version need no display: they are answered before Qt looks for one.
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    if (const auto status = glasswing::CommandLine::handle(rawArguments, glasswing::CommandLine::Stage::BeforeQt))
        return *status;
    chooseOffscreenWithoutDisplay();

    QApplication application(argc, argv);
    if (const auto status
        = glasswing::CommandLine::handle(QCoreApplication::arguments(), glasswing::CommandLine::Stage::AfterQt))
        return *status;
    QApplication::setApplicationName(QStringLiteral("Glasswing"));
    QApplication::setOrganizationDomain(QStringLiteral("tessaro.com"));
    // The launcher entry the windows belong to (the Wayland app id, the X11 class).
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tessaro.Glasswing"));

    // Before anything advertises to phones: a second launch only brings the first one forward.
    glasswing::SingleInstance instance;
    switch (instance.claim()) {
    case glasswing::SingleInstance::Outcome::AskedOtherToShow:
    case glasswing::SingleInstance::Outcome::OtherDidNotAnswer:
        return 0;
    case glasswing::SingleInstance::Outcome::Primary:
    case glasswing::SingleInstance::Outcome::Unguarded:
        break;
    }

    // The composition root: everything below lives for the whole run and is handed to whoever
    // needs it.
    glasswing::SerialQueue serializationQueue(QStringLiteral("SerializationQueue"));
    glasswing::UserDefaults defaults;
    glasswing::NotificationCenter& center = glasswing::NotificationCenter::defaultCenter();
    glasswing::Menus menus;
    glasswing::AppDelegate delegate(defaults, center, serializationQueue, *menus.checkForUpdates);
    menus.connectTo(delegate);
    // The main window and its controller, which advertises to phones from here on.
    glasswing::ViewController viewController(center, serializationQueue);
    menus.attach(viewController.view());
    QObject::connect(&menus, &glasswing::Menus::trustedDevicesRequested, &viewController,
                     &glasswing::ViewController::showTrustedDevicesWindow);
    QObject::connect(&viewController, &glasswing::ViewController::phonesChanged, &menus,
                     [&] { menus.showPhones(viewController.connectedPhones()); });
    // The main window is the app: closing it ends the run, whatever other window is open.
    QObject::connect(&viewController, &glasswing::ViewController::mainWindowClosed, &application,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    glasswing::ConnectPhoneCommand connectPhone(center, webViewerListenerOf(viewController), viewController.view());
    QObject::connect(&menus, &glasswing::Menus::connectPhoneRequested, &connectPhone,
                     &glasswing::ConnectPhoneCommand::open);
    viewController.view()->show();
    QObject::connect(&instance, &glasswing::SingleInstance::activationRequested, viewController.view(),
                     [window = viewController.view()->window()] {
                         window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
                         window->show();
                         window->raise();
                         window->activateWindow();
                     });

    QApplication::setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
    glasswing::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &glasswing::TerminationSignals::received, &application,
                     &QCoreApplication::quit);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &glasswing::AppDelegate::applicationWillTerminate);
    // The platform may end the process with exit() instead (Qt's xcb platform does when the X
    // server goes away): the plug-in is told all the same.
    const glasswing::ExitGuard finalWrite([&delegate] { delegate.applicationWillTerminate(); });
    QTimer::singleShot(0, &delegate, &glasswing::AppDelegate::applicationDidFinishLaunching);
    terminationSignals.unblock();

    const int status = QApplication::exec();
    delegate.applicationWillTerminate();
    return status;
}
