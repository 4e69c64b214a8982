#include "app/AppDelegate.h"
#include "mirroring/StatusFile.h"
#include "platform/NotificationCenter.h"
#include "platform/SerialQueue.h"
#include "platform/UserDefaults.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStyle>
#include <QTest>

#include <csignal>
#include <thread>

using namespace glasswing;

namespace {

const QByteArray& kTrue = test::kStatusTrue;
const QByteArray& kFalse = test::kStatusFalse;

QString defaultsPath(const QString& home)
{
    return home + QStringLiteral("/.config/com.tessaro.Glasswing/defaults.json");
}

} // namespace

class AppTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void menuActionsPostTheirNotifications();
    void terminationWritesFalseAfterQueuedUpdatesAndClearsFlags();
    void launchGivesTheDarkAppearance();
    void endsInOrderOnSignal_data();
    void endsInOrderOnSignal();

private:
    test::IsolatedHome m_home;
};

void AppTest::menuActionsPostTheirNotifications()
{
    UserDefaults defaults;
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    AppDelegate delegate(defaults, center, queue);
    QStringList posted;
    center.addObserver(QStringLiteral("Show Welcome Window"), [&] { posted << QStringLiteral("welcome"); });
    center.addObserver(QStringLiteral("Disconnect Menu Item"), [&] { posted << QStringLiteral("disconnect"); });

    delegate.ShowWelcomeWindow();
    delegate.DisconnectMenuItem();
    delegate.DisconnectMenuItem();
    QCOMPARE(posted,
             (QStringList{QStringLiteral("welcome"), QStringLiteral("disconnect"), QStringLiteral("disconnect")}));
    QVERIFY(delegate.applicationShouldTerminateAfterLastWindowClosed());
    QVERIFY(delegate.applicationSupportsSecureRestorableState());
}

void AppTest::terminationWritesFalseAfterQueuedUpdatesAndClearsFlags()
{
    UserDefaults defaults;
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    AppDelegate delegate(defaults, center, queue);
    defaults.setBool(QStringLiteral("Main Window Open"), true);
    defaults.setBool(QStringLiteral("Welcome Window Open"), true);

    // A phone connected just before the quit: its true is still queued behind a slow write.
    queue.async([] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
    updateStatus(queue, true);
    delegate.applicationWillTerminate();
    queue.waitUntilIdle();

    QCOMPARE(test::readAll(m_home.statusFile()), kFalse);
    QCOMPARE(defaults.boolForKey(QStringLiteral("Main Window Open")), false);
    QCOMPARE(defaults.boolForKey(QStringLiteral("Welcome Window Open")), false);
}

void AppTest::launchGivesTheDarkAppearance()
{
    QApplication::setPalette(QPalette(Qt::white)); // a light desktop theme
    UserDefaults defaults;
    NotificationCenter center;
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    AppDelegate delegate(defaults, center, queue);
    delegate.applicationDidFinishLaunching();

    const QPalette palette = QApplication::palette();
    QVERIFY(palette.color(QPalette::Window).lightness() < 64);
    QVERIFY(palette.color(QPalette::WindowText).lightness() > 192);
    QCOMPARE(QApplication::style()->name().toLower(), QStringLiteral("fusion"));
}

void AppTest::endsInOrderOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void AppTest::endsInOrderOnSignal()
{
    QFETCH(int, signalNumber);
    QTemporaryDir home;
    // What an earlier run that crashed with a phone connected may have left behind.
    QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/.cache/com.tessaro.Preview")));
    QVERIFY(QDir().mkpath(home.path() + QStringLiteral("/.config/com.tessaro.Glasswing")));
    {
        QFile status(home.path() + QStringLiteral("/.cache/com.tessaro.Preview/status.json"));
        QVERIFY(status.open(QIODevice::WriteOnly));
        status.write(kTrue);
        QFile defaults(defaultsPath(home.path()));
        QVERIFY(defaults.open(QIODevice::WriteOnly));
        defaults.write(R"({"Main Window Open": true, "Welcome Window Open": true, "Trusted Devices": ["a"]})");
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "DISPLAY",
                             "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), home.path());

    QProcess app;
    app.setProcessEnvironment(environment);
    app.start(QStringLiteral(GLASSWING_BINARY), {});
    QVERIFY(app.waitForStarted());
    QTest::qWait(1000);
    QCOMPARE(app.state(), QProcess::Running);
    ::kill(pid_t(app.processId()), signalNumber);
    QVERIFY(app.waitForFinished(10000));

    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    QVERIFY(app.readAllStandardError().contains("offscreen"));
    QCOMPARE(app.readAllStandardOutput(), QByteArray());
    QCOMPARE(test::readAll(home.path() + QStringLiteral("/.cache/com.tessaro.Preview/status.json")), kFalse);
    const QJsonObject defaults = QJsonDocument::fromJson(test::readAll(defaultsPath(home.path()))).object();
    QCOMPARE(defaults.value(QStringLiteral("Main Window Open")), QJsonValue(false));
    QCOMPARE(defaults.value(QStringLiteral("Welcome Window Open")), QJsonValue(false));
    QCOMPARE(defaults.value(QStringLiteral("Trusted Devices")).toArray().size(), 1);
}

QTEST_MAIN(AppTest)
#include "app_test.moc"
