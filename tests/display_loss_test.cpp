// The real program on an X server of the test's own (Xvfb), with a phone connected, when that
// server goes away as at a logout or a crash: the program ends, and the plug-in is told.

#include "support/PeerHarness.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

using namespace glasswing;
using test::kWait;
using test::Phone;

namespace {

// An X server of the test's own, on a display number that no other holds.
class PrivateXServer : public QProcess {
public:
    PrivateXServer()
    {
        // Numbers above those a desktop or a developer would pick; a taken one fails at once.
        for (int display = 300 + int(::getpid() % 500); display < 1000 && m_display.isEmpty(); display += 7) {
            if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
                continue;
            // -displayfd: the number comes back on standard output once the server accepts clients.
            start(QStringLiteral("Xvfb"),
                  {QStringLiteral(":%1").arg(display), QStringLiteral("-displayfd"), QStringLiteral("1"),
                   QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                   QStringLiteral("1280x800x24")});
            if (!waitForStarted())
                return;
            while (state() == Running && !canReadLine())
                waitForReadyRead(kWait);
            if (readLine().trimmed() == QByteArray::number(display))
                m_display = QStringLiteral(":%1").arg(display);
            else
                waitForFinished(kWait);
        }
    }
    ~PrivateXServer() override
    {
        terminate(); // our own child, by its id; it removes its socket and lock as it ends
        if (!waitForFinished(kWait))
            kill();
        waitForFinished(kWait);
    }
    QString display() const { return m_display; }

private:
    QString m_display;
};

} // namespace

class DisplayLossTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void losingTheDisplayEndsTheRunInOrder();
};

void DisplayLossTest::losingTheDisplayEndsTheRunInOrder()
{
    GLASSWING_MACHINE_CASE(!QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty(),
                           QStringLiteral("Xvfb is not installed (Debian package xvfb)"));
    PrivateXServer server;
    QVERIFY2(!server.display().isEmpty(), "no display number was free for Xvfb");
    QTemporaryDir home;
    const QString config = home.path() + QStringLiteral("/.config/com.tessaro.Glasswing");
    const QString status = home.path() + QStringLiteral("/.cache/com.tessaro.Preview/status.json");
    QVERIFY(QDir().mkpath(config));
    QVERIFY(test::writeFile(config + QStringLiteral("/defaults.json"), R"({"Trusted Devices": ["ada"]})"));

    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("DISPLAY"), server.display());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    app.setProcessEnvironment(environment);
    app.start(QStringLiteral(GLASSWING_BINARY), {});
    QByteArray errors;
    QVERIFY(QTest::qWaitFor([&] { return (errors += app.readAllStandardError()).contains(" on port "); }, kWait));
    const auto port = QRegularExpression(QStringLiteral(" on port (\\d+)")).match(QString::fromUtf8(errors));
    Phone phone(port.captured(1).toUShort(), test::phoneArguments(QStringLiteral("Ada"), QStringLiteral("ada")));
    QTRY_COMPARE_WITH_TIMEOUT(test::readAll(status), test::kStatusTrue, kWait);

    // The display goes away under the running program (SIGTERM, so that the server still cleans
    // up its socket and lock; the program sees its connection closed either way).
    server.terminate();
    QVERIFY(server.waitForFinished(kWait));
    const bool ended = app.waitForFinished(kWait);
    app.kill(); // our own child, by its id, should it have gone on
    QVERIFY2(ended, "the app went on without its display");
    QCOMPARE(test::readAll(status), test::kStatusFalse);
    // Ended, not crashed: whatever the code the platform chose, no signal ended it.
    QVERIFY2(app.exitStatus() == QProcess::NormalExit, (errors + app.readAllStandardError()).constData());
}

QTEST_GUILESS_MAIN(DisplayLossTest)
#include "display_loss_test.moc"
