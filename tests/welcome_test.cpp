// The welcome window and the main window on real widgets (offscreen): first use and the menu
// request, the buttons in each installation state, the installer (also on full, read-only and odd
// folders, and with odd shipped bundles), the entrance.

#include "mirroring/ViewController.h"
#include "platform/Bundle.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/ViewAlpha.h"
#include "support/TestEnvironment.h"
#include "support/WelcomeWindows.h"
#include "welcome/WelcomeViewController.h"
#include "welcome/WelcomeWindowController.h"

#include <QApplication>
#include <QEnterEvent>
#include <QSignalSpy>
#include <QTest>

using namespace glasswing;
using test::openWelcomeWindows;
using test::OpenedUrls;
using test::tree;

namespace {

constexpr int kWait = 5000;

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

void makeSketchFolder() { QVERIFY(QDir().mkpath(WelcomeViewController::pluginFolder())); }

void enter(QWidget* widget)
{
    QEnterEvent event(QPointF(5, 5), widget->mapToGlobal(QPointF(5, 5)), widget->mapToGlobal(QPointF(5, 5)));
    QApplication::sendEvent(widget, &event);
}

void leave(QWidget* widget)
{
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(widget, &event);
}

QString face(ImageButton* button) { return button->image() ? button->image()->name : QString(); }

// Loads a welcome view controller's view, as opening the window does, and clicks its install
// button; what it printed lands on standard output.
void clickInstall()
{
    WelcomeViewController controller;
    controller.view();
    QTest::mouseClick(controller.InstallPluginButton, Qt::LeftButton);
}

// The welcome window shown by its controller, first use over, as the menu opens it.
WelcomeViewController* showWelcome()
{
    UserDefaults().setBool(QStringLiteral("Has Shown Mac Welcome"), true);
    auto* controller = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    controller->showWindow();
    return controller->contentViewController();
}

void forgetHome()
{
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);
}

const QByteArray kCopyError = "Couldn't Copy Plugin\n";

} // namespace

class WelcomeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_home = std::make_unique<test::IsolatedHome>(); }
    void cleanup()
    {
        test::closeAllWindows();
        m_home.reset();
    }

    void theWelcomeWindowOpensOnceAtATime_data();
    void theWelcomeWindowOpensOnceAtATime();
    void theMainWindowMovesByItsBackground();
    void theButtonsDoWhatTheStateCalls_data();
    void theButtonsDoWhatTheStateCalls();
    void aCheckChangesFacesOnlyWhenTheStateChanges();
    void installingCopiesTheBundleWholeAndNeverOverAnItem();
    void theInstallerAtOddPlaces_data();
    void theInstallerAtOddPlaces();
    void theEntranceFadesInOnceAndTheTimerStopsOnClose();
    // A machine case: a tmpfs in a mount namespace of a child's own (root).
    void oddShippedBundles_data();
    void oddShippedBundles();

private:
    std::unique_ptr<test::IsolatedHome> m_home;
};

void WelcomeTest::theWelcomeWindowOpensOnceAtATime_data()
{
    QTest::addColumn<QString>("store"); // of the user defaults
    QTest::newRow("stored") << QStringLiteral("stored");
    QTest::newRow("no home") << QStringLiteral("no home");
    QTest::newRow("a folder in the store's place") << QStringLiteral("a folder");
}

// First use opens it; asked for while open, nothing; closed and asked for, a new one, many times
// over, leaving nothing behind; closing the main window closes it. Where the flags cannot be
// stored, the same.
void WelcomeTest::theWelcomeWindowOpensOnceAtATime()
{
    QFETCH(QString, store);
    const bool stored = store == QLatin1String("stored");
    if (store == QLatin1String("no home"))
        forgetHome();
    else if (!stored)
        QVERIFY(QDir().mkpath(UserDefaults::defaultFilePath()));
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController main(center, queue);
    main.view()->show();
    QTRY_COMPARE_WITH_TIMEOUT(openWelcomeWindows().size(), 1, kWait);
    QCOMPARE(UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")), stored);
    QList<QPointer<QObject>> windows;
    for (int round = 0; round < 10; ++round) {
        center.post(QStringLiteral("Show Welcome Window"));
        center.post(QStringLiteral("Show Welcome Window"));
        QCOMPARE(openWelcomeWindows().size(), 1);
        QVERIFY(!windows.contains(main.welcomeWindow.data()));
        windows << QPointer<QObject>(main.welcomeWindow.data());
        if (round % 5 == 0)
            QTest::qWait(30); // closed after the entrance's delay has begun
        main.welcomeWindow->close();
        QVERIFY(!UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    for (const QPointer<QObject>& window : windows)
        QVERIFY(!window); // let go with its controller
    // A close that could not be stored (the disk turned read-only) leaves "open" written: the menu
    // opens one all the same.
    UserDefaults().setBool(QStringLiteral("Welcome Window Open"), true);
    center.post(QStringLiteral("Show Welcome Window"));
    QCOMPARE(openWelcomeWindows().size(), 1);
    QPointer<QWidget> last = main.welcomeWindow;
    main.view()->close();
    QVERIFY(!last || !last->isVisible());
    QCOMPARE(openWelcomeWindows().size(), 0);
    queue.waitUntilIdle();
    if (!stored)
        return;
    // Once shown, first use is over: the next start opens none.
    QVERIFY(!UserDefaults().boolForKey(QStringLiteral("Main Window Open")));
    QTRY_VERIFY_WITH_TIMEOUT(UserDefaults().boolForKey(QStringLiteral("Has Shown Mac Welcome")), kWait);
    ViewController again(center, queue);
    again.view()->show();
    QTest::qWait(100);
    QCOMPARE(openWelcomeWindows().size(), 0);
    queue.waitUntilIdle();
}

void WelcomeTest::theMainWindowMovesByItsBackground()
{
    UserDefaults().setBool(QStringLiteral("Has Shown Mac Welcome"), true);
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController main(center, queue);
    QWidget* window = main.view();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));

    // A press on the background (here, on the status image, which takes no clicks) drags it.
    const QPoint before = window->pos();
    QWidget* background = main.StatusImage;
    QTest::mousePress(background, Qt::LeftButton, {}, QPoint(10, 10));
    QMouseEvent move(QEvent::MouseMove, QPointF(50, 30), background->mapToGlobal(QPointF(50, 30)), Qt::NoButton,
                     Qt::LeftButton, {});
    QApplication::sendEvent(window, &move);
    QTest::mouseRelease(background, Qt::LeftButton, {}, QPoint(50, 30));
    QCOMPARE(window->pos() - before, QPoint(40, 20));
    queue.waitUntilIdle();
}

void WelcomeTest::theButtonsDoWhatTheStateCalls_data()
{
    QTest::addColumn<int>("installed"); // 0 nothing, 1 the design tool, 2 the plug-in too
    QTest::addColumn<bool>("toWebSite");
    QTest::addColumn<bool>("pluginAfter");
    QTest::newRow("design tool missing: its web site") << 0 << true << false;
    QTest::newRow("plug-in missing: installs it") << 1 << false << true;
    QTest::newRow("installed: nothing") << 2 << false << true;
}

void WelcomeTest::theButtonsDoWhatTheStateCalls()
{
    QFETCH(int, installed);
    QFETCH(bool, toWebSite);
    QFETCH(bool, pluginAfter);
    if (installed >= 1)
        makeSketchFolder();
    if (installed == 2)
        QVERIFY(QDir().mkpath(WelcomeViewController::pluginDestination()));
    OpenedUrls opened;
    WelcomeViewController* welcome = showWelcome();
    ImageButton* install = welcome->InstallPluginButton;

    // Hover shows, and goes with the mouse, where a click would do something.
    const QString rest = face(install);
    enter(install);
    QCOMPARE(face(install) != rest, installed < 2);
    leave(install);
    QCOMPARE(face(install), rest);
    QTest::mouseClick(install, Qt::LeftButton);
    QCOMPARE(opened.urls, toWebSite ? QList<QUrl> {kSketchWebSite} : QList<QUrl> {});
    QCOMPARE(QFileInfo::exists(WelcomeViewController::pluginDestination()), pluginAfter);

    // The phone app's button asks for "Connect a Phone" (the phone's browser is the phone app).
    opened.urls.clear();
    QSignalSpy asked(welcome, &WelcomeViewController::connectPhoneRequested);
    QTest::mouseClick(welcome->OpenAppStoreButton, Qt::LeftButton);
    QCOMPARE(asked.count(), 1);
    QVERIFY(opened.urls.isEmpty());
}

void WelcomeTest::aCheckChangesFacesOnlyWhenTheStateChanges()
{
    makeSketchFolder();
    QVERIFY(QDir().mkpath(WelcomeViewController::pluginDestination()));
    WelcomeViewController* welcome = showWelcome();
    QCOMPARE(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button (Marker)"));

    // The same state again leaves a face alone, a hover face included.
    welcome->InstallPluginButton->setImage(imageNamed(QStringLiteral("Get Sketch Button (Hover)")));
    welcome->checkInstallations();
    QCOMPARE(face(welcome->InstallPluginButton), QStringLiteral("Get Sketch Button (Hover)"));

    // Removing the plug-in, then the whole folder, shows within a tick of the timer.
    QVERIFY(QDir(WelcomeViewController::pluginDestination()).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button"), 1000);
    QVERIFY(QDir(WelcomeViewController::sketchFolder()).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(face(welcome->InstallPluginButton), QStringLiteral("Get Sketch Button"), 1000);
    QCOMPARE(welcome->installButtonBacking->image()->name, QStringLiteral("Get Sketch Button"));
}

void WelcomeTest::installingCopiesTheBundleWholeAndNeverOverAnItem()
{
    const QString bundle = pathForResource(QStringLiteral("Glasswing"), QStringLiteral("sketchplugin"));
    QVERIFY2(!bundle.isEmpty(), qPrintable(bundleResourcesDirectory()));
    makeSketchFolder();
    test::StdoutCapture out;
    WelcomeViewController* welcome = showWelcome();

    // Something appears at the destination after the last check, even an empty folder that a
    // plain rename would replace: the copy refuses, and leaves nothing of its own behind.
    QVERIFY(QDir().mkpath(WelcomeViewController::pluginDestination()));
    QTest::mouseClick(welcome->InstallPluginButton, Qt::LeftButton);
    QCOMPARE(out.text(), kCopyError);
    QVERIFY(entries(WelcomeViewController::pluginDestination()).isEmpty());
    QCOMPARE(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button (Marker)"));
    QCOMPARE(entries(WelcomeViewController::pluginFolder()), QStringList {QStringLiteral("Glasswing.sketchplugin")});

    // With the place free, the plug-in is installed file for file, with nothing left beside it.
    QVERIFY(QDir().rmdir(WelcomeViewController::pluginDestination()));
    QTRY_COMPARE_WITH_TIMEOUT(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button"), 1000);
    QTest::mouseClick(welcome->InstallPluginButton, Qt::LeftButton);
    QCOMPARE(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button (Marker)"));
    const QMap<QString, QByteArray> shipped = tree(bundle);
    QVERIFY(!shipped.isEmpty());
    QCOMPARE(tree(WelcomeViewController::pluginDestination()), shipped);
    QCOMPARE(entries(WelcomeViewController::pluginFolder()), QStringList {QStringLiteral("Glasswing.sketchplugin")});
    // Installed, the button does nothing.
    QTest::mouseClick(welcome->InstallPluginButton, Qt::LeftButton);
    QCOMPARE(out.text(), kCopyError);
}

void WelcomeTest::theInstallerAtOddPlaces_data()
{
    QTest::addColumn<QString>("place");
    QTest::newRow("a symlinked plug-in folder is installed into") << QStringLiteral("symlinked folder");
    QTest::newRow("a dangling symlink at the place is never replaced") << QStringLiteral("dangling");
    QTest::newRow("no home: the button leads to the web site") << QStringLiteral("no home");
}

void WelcomeTest::theInstallerAtOddPlaces()
{
    QFETCH(QString, place);
    const QString folder = m_home->path() + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QDir().mkpath(WelcomeViewController::sketchFolder()));
    QVERIFY(QFile::link(folder, WelcomeViewController::pluginFolder()));
    if (place == QLatin1String("dangling"))
        QVERIFY(QFile::link(QStringLiteral("nowhere"), folder + QStringLiteral("/Glasswing.sketchplugin")));
    if (place == QLatin1String("no home"))
        forgetHome();
    OpenedUrls opened;
    test::StdoutCapture out;
    clickInstall();
    QCOMPARE(out.text(), QByteArray());
    const bool home = place != QLatin1String("no home");
    QCOMPARE(opened.urls, home ? QList<QUrl> {} : QList<QUrl> {kSketchWebSite});
    QCOMPARE(entries(folder), home ? QStringList {QStringLiteral("Glasswing.sketchplugin")} : QStringList {});
    if (place == QLatin1String("dangling"))
        QCOMPARE(QFileInfo(folder + QStringLiteral("/Glasswing.sketchplugin")).symLinkTarget(),
                 folder + QStringLiteral("/nowhere"));
}

void WelcomeTest::theEntranceFadesInOnceAndTheTimerStopsOnClose()
{
    auto* controller = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    QPointer<WelcomeViewController> welcome = controller->contentViewController();
    controller->showWindow();
    const QList<QWidget*> faded{welcome->WelcomeBackground, welcome->InstallPluginButton, welcome->OpenAppStoreButton,
                                welcome->installButtonBacking, welcome->appStoreButtonBacking};
    for (QWidget* view : faded)
        QCOMPARE(alphaValue(view), 0.0);
    QCOMPARE(alphaValue(welcome->WelcomeContents), 1.0);
    QVERIFY(!UserDefaults().boolForKey(QStringLiteral("Has Shown Mac Welcome")));
    // The flag is written as the fade starts; the fade ends with everything shown.
    QTRY_VERIFY_WITH_TIMEOUT(UserDefaults().boolForKey(QStringLiteral("Has Shown Mac Welcome")), kWait);
    QVERIFY(alphaValue(welcome->WelcomeBackground) < 1.0);
    for (QWidget* view : faded)
        QTRY_COMPARE_WITH_TIMEOUT(alphaValue(view), 1.0, kWait);

    controller->window()->close();
    QTRY_VERIFY_WITH_TIMEOUT(!welcome, kWait);

    // A later opening changes no alpha; one closed before its entrance still counts as shown.
    auto* later = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    later->showWindow();
    QTest::qWait(50);
    QCOMPARE(alphaValue(later->contentViewController()->WelcomeBackground), 1.0);
    later->window()->close();
    UserDefaults().setBool(QStringLiteral("Has Shown Mac Welcome"), false);
    auto* brief = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    brief->showWindow();
    QTest::qWait(20);
    brief->window()->close();
    QTRY_VERIFY_WITH_TIMEOUT(UserDefaults().boolForKey(QStringLiteral("Has Shown Mac Welcome")), kWait);
}

void WelcomeTest::oddShippedBundles_data()
{
    // What goes into the shipped bundle's place: shell commands run there, as the root user; what
    // becomes of the plug-in folder (a full or a read-only file system); then whether the app runs
    // as nobody rather than root, and what it prints: nothing when it copies.
    QTest::addColumn<QString>("make");
    QTest::addColumn<QString>("plugins");
    QTest::addColumn<bool>("unprivileged");
    QTest::addColumn<QByteArray>("printed");
    const auto row = [](const char* name, const QByteArray& make, bool unprivileged, const QByteArray& printed,
                        const char* plugins = "") {
        QTest::newRow(name) << QString::fromUtf8(make) << QString::fromUtf8(plugins) << unprivileged << printed;
    };
    const QByteArray plain = "mkdir -p Glasswing.sketchplugin/Contents/Sketch && "
                             "echo '{}' > Glasswing.sketchplugin/Contents/Sketch/manifest.json && "
                             "echo 'x' > Glasswing.sketchplugin/Contents/Sketch/glasswing.js";
    const QByteArray bundleError = "Plugin Bundle Error\n";
    row("missing", {}, false, bundleError);
    row("a dangling symlink", "ln -s nowhere Glasswing.sketchplugin", false, bundleError);
    row("plain", plain, true, {});
    row("with a symlink", plain + " && ln -s Sketch Glasswing.sketchplugin/Contents/Link", false, {});
    // A package may put the bundle elsewhere and link to it: what is installed is the bundle.
    row("a relative symlink to the bundle",
        "mkdir real && cd real && " + plain + " && cd .. && ln -s real/Glasswing.sketchplugin .", false, {});
    row("with a FIFO", plain + " && mkfifo Glasswing.sketchplugin/Contents/pipe", false, kCopyError);
    row("read-only, as a read-only store ships it", plain + " && chmod -R a-w Glasswing.sketchplugin", true, {});
    // The copy fails after a read-only folder of it is complete: that folder goes too.
    row("read-only, with a FIFO",
        plain + " && mkfifo Glasswing.sketchplugin/Contents/zz-pipe && chmod -R a-w Glasswing.sketchplugin", true,
        kCopyError);
    // Undoing a failed copy never follows a symlink out of it.
    row("with a FIFO and a symlink to a folder elsewhere",
        plain + " && mkdir kept && touch kept/file && ln -s \"$PWD/kept\" Glasswing.sketchplugin/Contents/Kept"
                " && mkfifo Glasswing.sketchplugin/Contents/zz-pipe",
        false, kCopyError);
    row("with a folder its user cannot list", plain + " && chmod 0311 Glasswing.sketchplugin/Contents/Sketch", true,
        kCopyError);
    row("onto a full disk", plain, false, kCopyError, "full");
    row("onto a read-only disk", plain, false, kCopyError, "read-only");
}

// Whatever the bundle and the plug-in folder, the whole bundle is installed or nothing at all, not
// even a temporary folder.
void WelcomeTest::oddShippedBundles()
{
    QFETCH(QString, make);
    QFETCH(QString, plugins);
    QFETCH(bool, unprivileged);
    QFETCH(QByteArray, printed);
    const bool installed = printed.isEmpty();
    const QString resources = bundleResourcesDirectory();
    const QString folder = WelcomeViewController::pluginFolder();
    QVERIFY(QDir().mkpath(folder));
    if (unprivileged && ::geteuid() == 0) {
        // The unprivileged user may write in its plug-in folder and nowhere else of the home.
        QCOMPARE(::chmod(QFile::encodeName(m_home->path()).constData(), 0755), 0);
        QCOMPARE(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
    }
    GLASSWING_MACHINE_CASE(true, QString()); // left to its own entry
    const test::ChildRun run = test::runInChild([&](QJsonObject& report) {
        QString why = test::mountPrivateTmpfs(resources, 256);
        if (why.isEmpty() && !plugins.isEmpty())
            why = test::mountPrivateTmpfs(folder, 64);
        if (!why.isEmpty()) {
            report.insert(QStringLiteral("skip"), why);
            return test::kChildSkipped;
        }
        if (!make.isEmpty()
            && std::system(QFile::encodeName(QStringLiteral("cd '%1' && %2").arg(resources, make)).constData()) != 0)
            return 2;
        if (plugins == QLatin1String("full"))
            report.insert(QStringLiteral("free"), test::fillFileSystem(folder + QStringLiteral("/filler")));
        if (plugins == QLatin1String("read-only")
            && ::mount(nullptr, QFile::encodeName(folder).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return 3;
        if (unprivileged && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 4;
        const QMap<QString, QByteArray> before = tree(resources);
        clickInstall();
        report.insert(QStringLiteral("left"), QJsonArray::fromStringList(entries(folder)));
        report.insert(QStringLiteral("kept"), tree(resources) == before);
        const QMap<QString, QByteArray> shipped = tree(resources + QStringLiteral("/Glasswing.sketchplugin"));
        report.insert(QStringLiteral("whole"), !shipped.isEmpty() && tree(WelcomeViewController::pluginDestination()) == shipped);
        return 0;
    });
    GLASSWING_MACHINE_CASE(run.exitCode != test::kChildSkipped, run.report.value(QStringLiteral("skip")).toString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.report.value(QStringLiteral("free")).toInteger(0), 0);
    QCOMPARE(run.output, printed);
    QCOMPARE(run.report.value(QStringLiteral("left")).toVariant().toStringList(),
             installed ? QStringList {QStringLiteral("Glasswing.sketchplugin")}
                       : plugins == QLatin1String("full") ? QStringList {QStringLiteral("filler")} : QStringList {});
    QCOMPARE(run.report.value(QStringLiteral("whole")).toBool(), installed);
    QVERIFY(run.report.value(QStringLiteral("kept")).toBool()); // what was shipped stays as it was
}

QTEST_MAIN(WelcomeTest)
#include "welcome_test.moc"
