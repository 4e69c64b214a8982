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
    void theMainWindowShowsOnlyWhatItsViewsDrawAndMovesByItsBackground();
    void facesFollowTheStateAndTheMouse_data();
    void facesFollowTheStateAndTheMouse();
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

void WelcomeTest::theMainWindowShowsOnlyWhatItsViewsDrawAndMovesByItsBackground()
{
    UserDefaults().setBool(QStringLiteral("Has Shown Mac Welcome"), true);
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController main(center, queue);
    QWidget* window = main.view();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!(window->windowFlags()
              & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(window->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(window->palette().color(QPalette::Window).alpha(), 0);

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

void WelcomeTest::facesFollowTheStateAndTheMouse_data()
{
    QTest::addColumn<int>("installed"); // 0 nothing, 1 the design tool, 2 the plug-in too
    QTest::addColumn<QString>("rest");
    QTest::addColumn<QString>("pressed");
    QTest::addColumn<QString>("hover");
    QTest::newRow("design tool missing") << 0 << QStringLiteral("Get Sketch Button")
                                         << QStringLiteral("Get Sketch Button (Selected)")
                                         << QStringLiteral("Get Sketch Button (Hover)");
    QTest::newRow("plug-in missing") << 1 << QStringLiteral("Install Plugin Button")
                                     << QStringLiteral("Install Plugin Button (Selected)")
                                     << QStringLiteral("Install Plugin Button (Hover)");
    QTest::newRow("installed") << 2 << QStringLiteral("Install Plugin Button (Marker)")
                               << QStringLiteral("Install Plugin Button (Marker)")
                               << QStringLiteral("Install Plugin Button (Marker)");
}

void WelcomeTest::facesFollowTheStateAndTheMouse()
{
    QFETCH(int, installed);
    QFETCH(QString, rest);
    QFETCH(QString, pressed);
    QFETCH(QString, hover);
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
    ImageButton* appStore = welcome->OpenAppStoreButton;

    QCOMPARE(face(install), rest);
    QCOMPARE(install->alternateImage()->name, pressed);
    QCOMPARE(welcome->installButtonBacking->image()->name, rest);
    enter(install);
    QCOMPARE(face(install), hover);
    leave(install);
    QCOMPARE(face(install), rest);
    QTest::mousePress(install, Qt::LeftButton);
    QCOMPARE(install->shownImage()->name, pressed);
    // Released, it is a click: in the plug-in missing state that installs the plug-in.
    QTest::mouseRelease(install, Qt::LeftButton);
    QCOMPARE(install->shownImage()->name, installed == 1 ? QStringLiteral("Install Plugin Button (Marker)") : rest);
    QCOMPARE(opened.urls, installed == 0 ? QList<QUrl>{kSketchWebSite} : QList<QUrl>{});

    // The phone app's button is the same in every state; its backing never changes.
    enter(appStore);
    QCOMPARE(face(appStore), QStringLiteral("Open App Store Button (Hover)"));
    leave(appStore);
    QCOMPARE(face(appStore), QStringLiteral("Open App Store Button"));
    QCOMPARE(welcome->appStoreButtonBacking->image()->name, QStringLiteral("Open App Store Button"));
    // It asks for "Connect a Phone" (the phone's browser is the phone app) and opens no page.
    const QList<QUrl> openedBefore = opened.urls;
    QSignalSpy asked(welcome, &WelcomeViewController::connectPhoneRequested);
    QTest::mouseClick(appStore, Qt::LeftButton);
    QCOMPARE(asked.count(), 1);
    QCOMPARE(opened.urls, openedBefore);

    // Each button draws above its own backing, the phone app's button last of all.
    QList<QWidget*> order;
    for (QObject* child : welcome->view()->children()) {
        if (auto* widget = qobject_cast<QWidget*>(child))
            order << widget;
    }
    QCOMPARE(order.last(), static_cast<QWidget*>(appStore));
    QVERIFY(order.indexOf(welcome->installButtonBacking) < order.indexOf(install));
    QVERIFY(order.indexOf(welcome->appStoreButtonBacking) < order.indexOf(appStore));
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

    QVERIFY(welcome->timerContainer->isActive());
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
