// The welcome window and the main window on real widgets (offscreen): first use, the menu
// request, the installation states and their faces, hover and press, the installer, the entrance.

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
#include <QDesktopServices>
#include <QDirIterator>
#include <QEnterEvent>
#include <QSignalSpy>
#include <QTest>

using namespace glasswing;
using test::openWelcomeWindows;
using test::OpenedUrls;
using test::tree;

namespace {

constexpr int kWait = 5000;

QString sketchFolder()
{
    return WelcomeViewController::sketchFolder();
}

void makeSketchFolder()
{
    QVERIFY(QDir().mkpath(WelcomeViewController::pluginFolder()));
}

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

QString face(ImageButton* button)
{
    return button->image() ? button->image()->name : QString();
}

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

    void firstUseOpensOneWelcomeWindowAndClosingTheMainWindowClosesIt();
    void theMainWindowMovesByItsBackground();
    void theButtonsDoWhatTheStateCalls_data();
    void theButtonsDoWhatTheStateCalls();
    void aCheckChangesFacesOnlyWhenTheStateChanges();
    void installingCopiesTheBundleWholeAndNeverOverAnItem();
    void theEntranceFadesInOnceAndTheTimerStopsOnClose();

private:
    std::unique_ptr<test::IsolatedHome> m_home;
};

void WelcomeTest::firstUseOpensOneWelcomeWindowAndClosingTheMainWindowClosesIt()
{
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController main(center, queue);
    main.view()->show();
    QTRY_COMPARE_WITH_TIMEOUT(openWelcomeWindows().size(), 1, kWait);
    QVERIFY(UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")));
    QPointer<QWidget> first = main.welcomeWindow;
    QCOMPARE(openWelcomeWindows().first(), first.data());

    // Asked for again while open: nothing.
    center.post(QStringLiteral("Show Welcome Window"));
    QCOMPARE(openWelcomeWindows().size(), 1);

    // Closed, then asked for: a new controller and window.
    first->close();
    QVERIFY(!UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")));
    QTRY_VERIFY_WITH_TIMEOUT(!first, kWait); // let go with its controller
    center.post(QStringLiteral("Show Welcome Window"));
    QCOMPARE(openWelcomeWindows().size(), 1);
    QVERIFY(main.welcomeWindow && main.welcomeWindow != first);

    // Closing the main window closes it too.
    QPointer<QWidget> second = main.welcomeWindow;
    main.view()->close();
    QVERIFY(!second || !second->isVisible());
    QCOMPARE(openWelcomeWindows().size(), 0);
    QVERIFY(!UserDefaults().boolForKey(QStringLiteral("Main Window Open")));
    queue.waitUntilIdle();

    // Once shown, first use is over: the next start opens none.
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
    UserDefaults().setBool(QStringLiteral("Has Shown Mac Welcome"), true);
    if (installed >= 1)
        makeSketchFolder();
    if (installed == 2)
        QVERIFY(QDir().mkpath(WelcomeViewController::pluginDestination()));
    OpenedUrls opened;
    auto* controller = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    QVERIFY(controller);
    WelcomeViewController* welcome = controller->contentViewController();
    controller->showWindow();
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
    controller->window()->close();
}

void WelcomeTest::aCheckChangesFacesOnlyWhenTheStateChanges()
{
    UserDefaults().setBool(QStringLiteral("Has Shown Mac Welcome"), true);
    makeSketchFolder();
    QVERIFY(QDir().mkpath(WelcomeViewController::pluginDestination()));
    auto* controller = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    WelcomeViewController* welcome = controller->contentViewController();
    controller->showWindow();
    QCOMPARE(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button (Marker)"));

    // The same state again leaves a face alone, a hover face included.
    welcome->InstallPluginButton->setImage(imageNamed(QStringLiteral("Get Sketch Button (Hover)")));
    welcome->checkInstallations();
    QCOMPARE(face(welcome->InstallPluginButton), QStringLiteral("Get Sketch Button (Hover)"));

    // Removing the plug-in, then the whole folder, shows within a tick of the timer.
    QVERIFY(QDir(WelcomeViewController::pluginDestination()).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button"), 1000);
    QVERIFY(QDir(sketchFolder()).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(face(welcome->InstallPluginButton), QStringLiteral("Get Sketch Button"), 1000);
    QCOMPARE(welcome->installButtonBacking->image()->name, QStringLiteral("Get Sketch Button"));

    // Tracking areas that carry nothing the buttons know change nothing.
    const QString before = face(welcome->InstallPluginButton);
    for (const QVariantMap& info : {QVariantMap{}, QVariantMap{{QStringLiteral("Button Type"), 7}},
                                    QVariantMap{{QStringLiteral("Button Type"), QStringLiteral("Other Button")}}}) {
        auto* area = new TrackingArea(welcome->InstallPluginButton, {}, 0, welcome, info);
        welcome->mouseEntered(area);
        welcome->mouseExited(area);
        QCOMPARE(face(welcome->InstallPluginButton), before);
        QCOMPARE(face(welcome->OpenAppStoreButton), QStringLiteral("Open App Store Button"));
    }
    controller->window()->close();
}

void WelcomeTest::installingCopiesTheBundleWholeAndNeverOverAnItem()
{
    const QString bundle = pathForResource(QStringLiteral("Glasswing"), QStringLiteral("sketchplugin"));
    QVERIFY2(!bundle.isEmpty(), qPrintable(bundleResourcesDirectory()));
    UserDefaults().setBool(QStringLiteral("Has Shown Mac Welcome"), true);
    makeSketchFolder();
    test::StdoutCapture out;
    auto* controller = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    WelcomeViewController* welcome = controller->contentViewController();
    controller->showWindow();

    // Something appears at the destination after the last check, even an empty folder that a
    // plain rename would replace: the copy refuses, and leaves nothing of its own behind.
    QVERIFY(QDir().mkpath(WelcomeViewController::pluginDestination()));
    QTest::mouseClick(welcome->InstallPluginButton, Qt::LeftButton);
    QCOMPARE(out.text(), QByteArray("Couldn't Copy Plugin\n"));
    QVERIFY(QDir(WelcomeViewController::pluginDestination())
                .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    QCOMPARE(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button (Marker)"));
    QCOMPARE(
        QDir(WelcomeViewController::pluginFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("Glasswing.sketchplugin")});

    // With the place free, the plug-in is installed file for file, with nothing left beside it.
    QVERIFY(QDir().rmdir(WelcomeViewController::pluginDestination()));
    QTRY_COMPARE_WITH_TIMEOUT(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button"), 1000);
    QTest::mouseClick(welcome->InstallPluginButton, Qt::LeftButton);
    QCOMPARE(face(welcome->InstallPluginButton), QStringLiteral("Install Plugin Button (Marker)"));
    const QMap<QString, QByteArray> shipped = tree(bundle);
    QVERIFY(!shipped.isEmpty());
    QCOMPARE(tree(WelcomeViewController::pluginDestination()), shipped);
    QCOMPARE(
        QDir(WelcomeViewController::pluginFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("Glasswing.sketchplugin")});
    // Installed, the button does nothing.
    QTest::mouseClick(welcome->InstallPluginButton, Qt::LeftButton);
    QCOMPARE(out.text(), QByteArray("Couldn't Copy Plugin\n"));
    controller->window()->close();
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

QTEST_MAIN(WelcomeTest)
#include "welcome_test.moc"
