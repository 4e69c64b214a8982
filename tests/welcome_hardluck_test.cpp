// The welcome window and its installer on a machine that makes things hard: full or read-only
// disks, odd items where the plug-in goes, odd shipped bundles, no home, many openings.

#include "mirroring/ViewController.h"
#include "platform/Bundle.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "support/TestEnvironment.h"
#include "support/WelcomeWindows.h"
#include "welcome/WelcomeViewController.h"
#include "welcome/WelcomeWindowController.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDirIterator>
#include <QTest>

#include <sys/stat.h>

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

// Loads a welcome view controller's view, as opening the window does, and clicks its install
// button; what it printed lands on standard output.
void clickInstall()
{
    WelcomeViewController controller;
    controller.view();
    QTest::mouseClick(controller.InstallPluginButton, Qt::LeftButton);
}

} // namespace

class WelcomeHardLuckTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_home = std::make_unique<test::IsolatedHome>(); }
    void cleanup()
    {
        test::closeAllWindows();
        m_home.reset();
    }

    // First: its child runs the whole main window, and a child forked after other tests have
    // started threads may inherit a lock that one of them held.
    void theMenuOpensTheWelcomeWindowAgainWhenItsCloseCannotBeStored();
    void aPluginFolderThatRefusesTheCopyKeepsNothing_data();
    void aPluginFolderThatRefusesTheCopyKeepsNothing();
    void oddShippedBundles_data();
    void oddShippedBundles();
    void aSymlinkedPluginFolderIsInstalledInto();
    void aDanglingSymlinkAtThePlaceIsNeverReplaced();
    void withNoHomeTheButtonLeadsToTheWebSite();
    void manyOpeningsLeaveNothingBehind();
    void theMenuOpensOneWelcomeWindowWhenTheFlagCannotBeStored_data();
    void theMenuOpensOneWelcomeWindowWhenTheFlagCannotBeStored();

private:
    std::unique_ptr<test::IsolatedHome> m_home;
};

void WelcomeHardLuckTest::aPluginFolderThatRefusesTheCopyKeepsNothing_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("full") << false;
    QTest::newRow("read-only") << true;
}

void WelcomeHardLuckTest::aPluginFolderThatRefusesTheCopyKeepsNothing()
{
    QFETCH(bool, readOnly);
    const QString plugins = WelcomeViewController::pluginFolder();
    QVERIFY(QDir().mkpath(plugins));
    GLASSWING_MACHINE_CASE(true, QString()); // left to its own entry
    const test::ChildRun run = test::runInChild([&](QJsonObject& report) {
        const QString why = test::mountPrivateTmpfs(plugins, 64);
        if (!why.isEmpty()) {
            report.insert(QStringLiteral("skip"), why);
            return test::kChildSkipped;
        }
        if (readOnly) {
            if (::mount(nullptr, QFile::encodeName(plugins).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
                return 2;
        } else {
            report.insert(QStringLiteral("free"), test::fillFileSystem(plugins + QStringLiteral("/filler")));
        }
        clickInstall();
        report.insert(QStringLiteral("left"), QJsonArray::fromStringList(entries(plugins)));
        return 0;
    });
    GLASSWING_MACHINE_CASE(run.exitCode != test::kChildSkipped, run.report.value(QStringLiteral("skip")).toString());
    QCOMPARE(run.exitCode, 0);
    if (!readOnly)
        QCOMPARE(run.report.value(QStringLiteral("free")).toInteger(-1), 0);
    QCOMPARE(run.output, QByteArray("Couldn't Copy Plugin\n"));
    QCOMPARE(run.report.value(QStringLiteral("left")).toVariant().toStringList(),
             readOnly ? QStringList{} : QStringList{QStringLiteral("filler")});
}

void WelcomeHardLuckTest::oddShippedBundles_data()
{
    // What goes into the shipped bundle's place: shell commands run there, as the root user; then
    // the user the app runs as (root or nobody), what it prints and whether the copy is made.
    QTest::addColumn<QString>("make");
    QTest::addColumn<bool>("unprivileged");
    QTest::addColumn<QByteArray>("printed");
    QTest::addColumn<bool>("installed");
    const QString plain = QStringLiteral("mkdir -p Glasswing.sketchplugin/Contents/Sketch && "
                                         "echo '{}' > Glasswing.sketchplugin/Contents/Sketch/manifest.json && "
                                         "echo 'x' > Glasswing.sketchplugin/Contents/Sketch/glasswing.js");
    QTest::newRow("missing") << QString() << false << QByteArray("Plugin Bundle Error\n") << false;
    QTest::newRow("a dangling symlink") << QStringLiteral("ln -s nowhere Glasswing.sketchplugin") << false
                                        << QByteArray("Plugin Bundle Error\n") << false;
    QTest::newRow("plain") << plain << true << QByteArray() << true;
    QTest::newRow("with a symlink") << plain + QStringLiteral(" && ln -s Sketch Glasswing.sketchplugin/Contents/Link")
                                    << false << QByteArray() << true;
    // A package may put the bundle elsewhere and link to it: what is installed is the bundle.
    QTest::newRow("a relative symlink to the bundle") << QStringLiteral("mkdir real && cd real && ") + plain
            + QStringLiteral(" && cd .. && ln -s real/Glasswing.sketchplugin .")
                                                      << false << QByteArray() << true;
    QTest::newRow("with a FIFO") << plain + QStringLiteral(" && mkfifo Glasswing.sketchplugin/Contents/pipe") << false
                                 << QByteArray("Couldn't Copy Plugin\n") << false;
    QTest::newRow("read-only, as a read-only store ships it")
        << plain + QStringLiteral(" && chmod -R a-w Glasswing.sketchplugin") << true << QByteArray() << true;
    // The copy fails after a read-only folder of it is complete: that folder goes too.
    QTest::newRow("read-only, with a FIFO")
        << plain
            + QStringLiteral(
                " && mkfifo Glasswing.sketchplugin/Contents/zz-pipe && chmod -R a-w Glasswing.sketchplugin")
        << true << QByteArray("Couldn't Copy Plugin\n") << false;
    QTest::newRow("with a folder its user cannot list")
        << plain + QStringLiteral(" && chmod 0311 Glasswing.sketchplugin/Contents/Sketch") << true
        << QByteArray("Couldn't Copy Plugin\n") << false;
}

void WelcomeHardLuckTest::oddShippedBundles()
{
    QFETCH(QString, make);
    QFETCH(bool, unprivileged);
    QFETCH(QByteArray, printed);
    QFETCH(bool, installed);
    const QString resources = bundleResourcesDirectory();
    const QString plugins = WelcomeViewController::pluginFolder();
    QVERIFY(QDir().mkpath(plugins));
    if (unprivileged && ::geteuid() == 0) {
        // The unprivileged user may write in its plug-in folder and nowhere else of the home.
        QCOMPARE(::chmod(QFile::encodeName(m_home->path()).constData(), 0755), 0);
        QCOMPARE(::chown(QFile::encodeName(plugins).constData(), 65534, 65534), 0);
    }
    GLASSWING_MACHINE_CASE(true, QString()); // left to its own entry
    const test::ChildRun run = test::runInChild([&](QJsonObject& report) {
        const QString why = test::mountPrivateTmpfs(resources, 256);
        if (!why.isEmpty()) {
            report.insert(QStringLiteral("skip"), why);
            return test::kChildSkipped;
        }
        if (!make.isEmpty()
            && std::system(QFile::encodeName(QStringLiteral("cd '%1' && %2").arg(resources, make)).constData()) != 0)
            return 2;
        if (unprivileged && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 3;
        clickInstall();
        report.insert(QStringLiteral("left"), QJsonArray::fromStringList(entries(plugins)));
        const QMap<QString, QByteArray> shipped = tree(resources + QStringLiteral("/Glasswing.sketchplugin"));
        const QMap<QString, QByteArray> copied = tree(WelcomeViewController::pluginDestination());
        report.insert(QStringLiteral("whole"), !shipped.isEmpty() && copied == shipped);
        return 0;
    });
    GLASSWING_MACHINE_CASE(run.exitCode != test::kChildSkipped, run.report.value(QStringLiteral("skip")).toString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output, printed);
    // Either the whole bundle, or nothing at all, not even a temporary folder.
    QCOMPARE(run.report.value(QStringLiteral("left")).toVariant().toStringList(),
             installed ? QStringList{QStringLiteral("Glasswing.sketchplugin")} : QStringList{});
    QCOMPARE(run.report.value(QStringLiteral("whole")).toBool(), installed);
}

void WelcomeHardLuckTest::aSymlinkedPluginFolderIsInstalledInto()
{
    const QString elsewhere = m_home->path() + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(elsewhere));
    QVERIFY(QDir().mkpath(WelcomeViewController::sketchFolder()));
    QVERIFY(QFile::link(elsewhere, WelcomeViewController::pluginFolder()));
    test::StdoutCapture out;
    clickInstall();
    QCOMPARE(out.text(), QByteArray());
    QCOMPARE(entries(elsewhere), QStringList{QStringLiteral("Glasswing.sketchplugin")});
    QVERIFY(QFileInfo(WelcomeViewController::pluginFolder()).isSymLink());
}

void WelcomeHardLuckTest::aDanglingSymlinkAtThePlaceIsNeverReplaced()
{
    QVERIFY(QDir().mkpath(WelcomeViewController::pluginFolder()));
    QVERIFY(QFile::link(QStringLiteral("nowhere"), WelcomeViewController::pluginDestination()));
    clickInstall();
    QCOMPARE(QFileInfo(WelcomeViewController::pluginDestination()).symLinkTarget(),
             QDir(WelcomeViewController::pluginFolder()).filePath(QStringLiteral("nowhere")));
    QCOMPARE(entries(WelcomeViewController::pluginFolder()), QStringList{QStringLiteral("Glasswing.sketchplugin")});
}

void WelcomeHardLuckTest::withNoHomeTheButtonLeadsToTheWebSite()
{
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);
    OpenedUrls opened;
    test::StdoutCapture out;
    WelcomeViewController controller;
    controller.view();
    QTest::mouseClick(controller.InstallPluginButton, Qt::LeftButton);
    QCOMPARE(opened.urls, QList<QUrl>{kSketchWebSite});
    QCOMPARE(out.text(), QByteArray());
}

void WelcomeHardLuckTest::manyOpeningsLeaveNothingBehind()
{
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController main(center, queue);
    main.view()->show();
    QTRY_COMPARE_WITH_TIMEOUT(openWelcomeWindows().size(), 1, kWait);
    QList<QPointer<QObject>> controllers;
    for (int round = 0; round < 40; ++round) {
        center.post(QStringLiteral("Show Welcome Window"));
        center.post(QStringLiteral("Show Welcome Window"));
        QCOMPARE(openWelcomeWindows().size(), 1);
        QVERIFY(main.welcomeWindow);
        controllers << QPointer<QObject>(main.welcomeWindow.data());
        // Closed at once, or after the entrance's delay has begun.
        if (round % 10 == 0)
            QTest::qWait(30);
        main.welcomeWindow->close();
        QVERIFY(!UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")));
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    for (const QPointer<QObject>& controller : controllers)
        QVERIFY(!controller);
    int welcomeViews = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        welcomeViews += widget->objectName() == QStringLiteral("WelcomeView");
    QCOMPARE(welcomeViews, 0);
    main.view()->close();
    queue.waitUntilIdle();
}

void WelcomeHardLuckTest::theMenuOpensOneWelcomeWindowWhenTheFlagCannotBeStored_data()
{
    QTest::addColumn<bool>("noHome");
    QTest::newRow("no home") << true;
    QTest::newRow("a folder in the store's place") << false;
}

void WelcomeHardLuckTest::theMenuOpensOneWelcomeWindowWhenTheFlagCannotBeStored()
{
    QFETCH(bool, noHome);
    if (noHome) {
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            qunsetenv(name);
    } else {
        QVERIFY(QDir().mkpath(UserDefaults::defaultFilePath()));
    }
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    ViewController main(center, queue);
    main.view()->show();
    QTRY_COMPARE_WITH_TIMEOUT(openWelcomeWindows().size(), 1, kWait);
    center.post(QStringLiteral("Show Welcome Window"));
    center.post(QStringLiteral("Show Welcome Window"));
    QCOMPARE(openWelcomeWindows().size(), 1);
    // Closed, it opens again on request.
    main.welcomeWindow->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(openWelcomeWindows().size(), 0);
    center.post(QStringLiteral("Show Welcome Window"));
    QCOMPARE(openWelcomeWindows().size(), 1);
    main.view()->close();
    QCOMPARE(openWelcomeWindows().size(), 0);
    queue.waitUntilIdle();
}

void WelcomeHardLuckTest::theMenuOpensTheWelcomeWindowAgainWhenItsCloseCannotBeStored()
{
    // The store turns read-only while the window is open: its "open" stays written.
    const QString store = QFileInfo(UserDefaults::defaultFilePath()).absolutePath();
    QVERIFY(QDir().mkpath(store));
    GLASSWING_MACHINE_CASE(true, QString()); // left to its own entry
    const test::ChildRun run = test::runInChild([&](QJsonObject& report) {
        const QByteArray folder = QFile::encodeName(store);
        if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0
            || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount(folder.constData(), folder.constData(), nullptr, MS_BIND, nullptr) != 0) {
            report.insert(QStringLiteral("skip"), QStringLiteral("a mount namespace of its own needs root"));
            return test::kChildSkipped;
        }
        NotificationCenter center;
        SerialQueue queue(QStringLiteral("SerializationQueue"));
        ViewController main(center, queue);
        main.view()->show();
        if (!QTest::qWaitFor([] { return openWelcomeWindows().size() == 1; }, kWait))
            return 2;
        if (::mount(nullptr, folder.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            return 3;
        main.welcomeWindow->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        report.insert(QStringLiteral("flag"), UserDefaults().boolForKey(QStringLiteral("Welcome Window Open")));
        center.post(QStringLiteral("Show Welcome Window"));
        report.insert(QStringLiteral("windows"), int(openWelcomeWindows().size()));
        main.view()->close();
        queue.waitUntilIdle();
        return 0;
    });
    GLASSWING_MACHINE_CASE(run.exitCode != test::kChildSkipped, run.report.value(QStringLiteral("skip")).toString());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.report.value(QStringLiteral("flag")), QJsonValue(true));
    QCOMPARE(run.report.value(QStringLiteral("windows")).toInt(), 1);
}

QTEST_MAIN(WelcomeHardLuckTest)
#include "welcome_hardluck_test.moc"
