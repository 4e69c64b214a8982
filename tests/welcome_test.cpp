// The welcome window and the main window on real widgets (offscreen): first use and the menu
// request, the install button in each installation state, the installer (also on a full disk, at
// odd places, and with odd shipped bundles), the entrance.

#include "mirroring/ViewController.h"
#include "platform/Bundle.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/ViewAlpha.h"
#include "support/TestEnvironment.h"
#include "support/WelcomeWindows.h"
#include "welcome/WelcomeViewController.h"
#include "welcome/WelcomeWindowController.h"

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

    void theWelcomeWindowOpensOnceAtATime();
    void theInstallButtonDoesWhatTheStateCalls_data();
    void theInstallButtonDoesWhatTheStateCalls();
    void theEntranceFadesInAtFirstUseOnly();
    // A machine case: a tmpfs in a mount namespace of a child's own (root).
    void oddShippedBundles_data();
    void oddShippedBundles();

private:
    std::unique_ptr<test::IsolatedHome> m_home;
};

// First use opens it; asked for while open, nothing; closed and asked for, a new one; closing the
// main window closes it. The next start opens none.
void WelcomeTest::theWelcomeWindowOpensOnceAtATime()
{
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController main(center, queue);
    main.view()->show();
    QTRY_COMPARE_WITH_TIMEOUT(openWelcomeWindows().size(), 1, kWait);
    QVERIFY(UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")));
    for (int round = 0; round < 3; ++round) {
        center.post(QStringLiteral("Show Welcome Window"));
        center.post(QStringLiteral("Show Welcome Window"));
        QCOMPARE(openWelcomeWindows().size(), 1);
        if (round == 0)
            QTest::qWait(30); // closed after the entrance's delay has begun
        main.welcomeWindow->close();
        QVERIFY(!UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")));
    }
    // A close that could not be stored (the disk turned read-only) leaves "open" written: the menu
    // opens one all the same.
    UserDefaults().setBool(QStringLiteral("Welcome Window Open"), true);
    center.post(QStringLiteral("Show Welcome Window"));
    QCOMPARE(openWelcomeWindows().size(), 1);
    main.view()->close();
    QCOMPARE(openWelcomeWindows().size(), 0);
    queue.waitUntilIdle();
    QTRY_VERIFY_WITH_TIMEOUT(UserDefaults().boolForKey(QStringLiteral("Has Shown Mac Welcome")), kWait);
    ViewController again(center, queue);
    again.view()->show();
    QVERIFY(QTest::qWaitForWindowExposed(again.view()));
    QCOMPARE(openWelcomeWindows().size(), 0);
    queue.waitUntilIdle();
}

void WelcomeTest::theInstallButtonDoesWhatTheStateCalls_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("toWebSite");
    QTest::addColumn<QByteArray>("printed");
    QTest::addColumn<QString>("leftAtThePlace"); // "bundle" for the shipped one, copied whole
    const auto row = [](const char* name, bool toWebSite, const QByteArray& printed, const char* left) {
        QTest::newRow(name) << QString::fromLatin1(name) << toWebSite << printed << QString::fromLatin1(left);
    };
    row("design tool missing", true, {}, "none");
    row("plug-in missing", false, {}, "bundle");
    row("a dangling symlink at the place", false, {}, "symlink"); // never replaced
    // Even an empty folder that a plain rename would replace: the copy refuses, and leaves nothing of
    // its own behind; once the place is free again, a later check lets a click install.
    row("a folder made at the place after the check", false, kCopyError, "folder");
}

void WelcomeTest::theInstallButtonDoesWhatTheStateCalls()
{
    QFETCH(QString, state);
    QFETCH(bool, toWebSite);
    QFETCH(QByteArray, printed);
    QFETCH(QString, leftAtThePlace);
    const QString bundle = pathForResource(QStringLiteral("Glasswing"), QStringLiteral("sketchplugin"));
    QVERIFY2(!bundle.isEmpty(), qPrintable(bundleResourcesDirectory()));
    const QString place = WelcomeViewController::pluginDestination();
    if (state != QLatin1String("design tool missing"))
        QVERIFY(QDir().mkpath(WelcomeViewController::pluginFolder()));
    if (state.startsWith(QLatin1String("a dangling")))
        QVERIFY(QFile::link(QStringLiteral("nowhere"), place));
    OpenedUrls opened;
    test::StdoutCapture out;
    // Shown as the menu shows it, first use over.
    UserDefaults().setBool(QStringLiteral("Has Shown Mac Welcome"), true);
    auto* controller = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    controller->showWindow();
    WelcomeViewController* welcome = controller->contentViewController();
    if (state.startsWith(QLatin1String("a folder made")))
        QVERIFY(QDir().mkpath(place));
    QTest::mouseClick(welcome->InstallPluginButton, Qt::LeftButton);
    QCOMPARE(out.text(), printed);
    QCOMPARE(opened.urls, toWebSite ? QList<QUrl> {kSketchWebSite} : QList<QUrl> {});
    const QFileInfo left(place);
    QCOMPARE(left.isSymLink() ? QStringLiteral("symlink")
                 : left.isDir() ? (tree(place) == tree(bundle) ? QStringLiteral("bundle") : QStringLiteral("folder"))
                                : QStringLiteral("none"),
             leftAtThePlace);
    if (left.isDir())
        QCOMPARE(entries(left.path()), QStringList {QStringLiteral("Glasswing.sketchplugin")});
    if (leftAtThePlace == QLatin1String("folder"))
        QVERIFY(entries(place).isEmpty());
    if (leftAtThePlace == QLatin1String("symlink"))
        QCOMPARE(left.symLinkTarget(), left.path() + QStringLiteral("/nowhere"));
    if (!printed.isEmpty()) {
        QVERIFY(QDir().rmdir(place));
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                QTest::mouseClick(welcome->InstallPluginButton, Qt::LeftButton);
                return tree(place) == tree(bundle);
            }(),
            kWait);
    }
}

// The entrance fades in at first use, and never again; a window closed is let go, its timer with it.
void WelcomeTest::theEntranceFadesInAtFirstUseOnly()
{
    auto* controller = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    QPointer<WelcomeViewController> welcome = controller->contentViewController();
    controller->showWindow();
    QCOMPARE(alphaValue(welcome->WelcomeBackground), 0.0);
    QTRY_COMPARE_WITH_TIMEOUT(alphaValue(welcome->InstallPluginButton), 1.0, kWait);
    controller->window()->close();
    QTRY_VERIFY_WITH_TIMEOUT(!welcome, kWait);

    auto* later = instantiateControllerWithIdentifier(QStringLiteral("Welcome Controller"));
    later->showWindow();
    QTest::qWait(50);
    QCOMPARE(alphaValue(later->contentViewController()->WelcomeBackground), 1.0); // no fade again
}

void WelcomeTest::oddShippedBundles_data()
{
    // What goes into the shipped bundle's place: shell commands run there, as the root user; what
    // becomes of the plug-in folder (a full file system); then whether the app runs
    // as nobody rather than root, and what it prints: nothing when it copies.
    QTest::addColumn<QString>("make");
    QTest::addColumn<bool>("full");
    QTest::addColumn<bool>("unprivileged");
    QTest::addColumn<QByteArray>("printed");
    const auto row = [](const char* name, const QByteArray& make, bool unprivileged, const QByteArray& printed,
                        bool full = false) {
        QTest::newRow(name) << QString::fromUtf8(make) << full << unprivileged << printed;
    };
    const QByteArray plain = "mkdir -p Glasswing.sketchplugin/Contents/Sketch && "
                             "echo '{}' > Glasswing.sketchplugin/Contents/Sketch/manifest.json && "
                             "echo 'x' > Glasswing.sketchplugin/Contents/Sketch/glasswing.js";
    row("missing", {}, false, "Plugin Bundle Error\n");
    row("plain", plain, true, {});
    row("with a symlink", plain + " && ln -s Sketch Glasswing.sketchplugin/Contents/Link", false, {});
    // A package may put the bundle elsewhere and link to it: what is installed is the bundle.
    row("a relative symlink to the bundle",
        "mkdir real && cd real && " + plain + " && cd .. && ln -s real/Glasswing.sketchplugin .", false, {});
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
    // A folder that cannot be listed once read as empty: a half plug-in, shown as installed.
    row("with a folder its user cannot list", plain + " && chmod 0311 Glasswing.sketchplugin/Contents/Sketch", true,
        kCopyError);
    row("onto a full disk", plain, false, kCopyError, true);
}

// Whatever the bundle and the plug-in folder, the whole bundle is installed or nothing at all, not
// even a temporary folder.
void WelcomeTest::oddShippedBundles()
{
    QFETCH(QString, make);
    QFETCH(bool, full);
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
        if (why.isEmpty() && full)
            why = test::mountPrivateTmpfs(folder, 64);
        if (!why.isEmpty()) {
            report.insert(QStringLiteral("skip"), why);
            return test::kChildSkipped;
        }
        if (!make.isEmpty()
            && std::system(QFile::encodeName(QStringLiteral("cd '%1' && %2").arg(resources, make)).constData()) != 0)
            return 2;
        if (full)
            report.insert(QStringLiteral("free"), test::fillFileSystem(folder + QStringLiteral("/filler")));
        if (unprivileged && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 4;
        const QMap<QString, QByteArray> before = tree(resources);
        // The view loaded, as opening the window does, and its install button clicked.
        WelcomeViewController controller;
        controller.view();
        QTest::mouseClick(controller.InstallPluginButton, Qt::LeftButton);
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
             installed  ? QStringList {QStringLiteral("Glasswing.sketchplugin")}
                 : full ? QStringList {QStringLiteral("filler")}
                        : QStringList {});
    QCOMPARE(run.report.value(QStringLiteral("whole")).toBool(), installed);
    QVERIFY(run.report.value(QStringLiteral("kept")).toBool()); // what was shipped stays as it was
}

QTEST_MAIN(WelcomeTest)
#include "welcome_test.moc"
