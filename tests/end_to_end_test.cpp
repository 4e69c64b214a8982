// The real program with real phones (separate processes) on loopback, in a temporary home: what
// a user sees end to end.

#include "support/PeerHarness.h"
#include "support/Plistlib.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace glasswing;
using test::kWait;
using test::Phone;

namespace {

// The real program in a home of its own (or in `home`, another run's, left as it is), started
// with the trusted user IDs given. Its one-instance lock and socket go under `runtime` when given,
// else under the home.
class App : public QProcess {
public:
    explicit App(const QStringList& trusted, const QStringList& wrapper = {}, const QString& home = {},
                 const QString& runtime = {})
        : m_homePath(home.isEmpty() ? m_home.path() : home)
    {
        if (home.isEmpty()) {
            QDir().mkpath(configFolder());
            QFile defaults(configFolder() + QStringLiteral("/defaults.json"));
            QJsonObject object{{QStringLiteral("Trusted Devices"), QJsonArray::fromStringList(trusted)}};
            if (defaults.open(QIODevice::WriteOnly))
                defaults.write(QJsonDocument(object).toJson());
            defaults.close();
        }

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("HOME"), m_homePath);
        if (!runtime.isEmpty())
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        setProcessEnvironment(environment);
        if (wrapper.isEmpty()) {
            start(QStringLiteral(GLASSWING_BINARY), {});
        } else {
            start(wrapper.first(), wrapper.mid(1) + QStringList{QStringLiteral(GLASSWING_BINARY)});
        }
    }
    ~App() override
    {
        if (state() != NotRunning) {
            kill();
            waitForFinished(5000);
        }
    }

    QString home() const { return m_homePath; }
    QString cacheFolder() const { return m_homePath + QStringLiteral("/.cache/com.tessaro.Preview"); }
    QString configFolder() const { return m_homePath + QStringLiteral("/.config/com.tessaro.Glasswing"); }
    QString preview() const { return cacheFolder() + QStringLiteral("/Preview@3x.png"); }
    QByteArray status() const { return test::readAll(cacheFolder() + QStringLiteral("/status.json")); }
    QByteArray errors()
    {
        m_errors += readAllStandardError();
        return m_errors;
    }

    // The port it advertises on, once it says so.
    quint16 port()
    {
        (void)QTest::qWaitFor(
            [&] {
                m_errors += readAllStandardError();
                return m_errors.contains(" on port ");
            },
            kWait);
        const auto match = QRegularExpression(QStringLiteral(" on port (\\d+)")).match(QString::fromUtf8(m_errors));
        return match.hasMatch() ? match.captured(1).toUShort() : 0;
    }
    QByteArray lines()
    {
        m_output += readAllStandardOutput();
        return m_output;
    }

    // Puts a preview in place as the plug-in does: written beside it, then renamed.
    bool writePreview(const QByteArray& bytes) const
    {
        QFile file(cacheFolder() + QStringLiteral("/.Preview@3x.png.part"));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush()
            && QFile::rename(file.fileName(), preview());
    }

private:
    QTemporaryDir m_home;
    const QString m_homePath;
    QByteArray m_errors;
    QByteArray m_output;
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(QRandomGenerator::global()->generate());
    return bytes;
}

QStringList savedFrames(const QString& folder)
{
    QStringList files;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("message-*.bin")}, QDir::Files, QDir::Name))
        files << folder + u'/' + name;
    return files;
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aRememberedPhoneGetsEveryPreviewWhileAnotherWaits();
    void aPreviewThatCannotBeDeletedGoesOutEveryTick();
    void aPhoneThatWasBehindEndsOnTheLastPreview();
    void aSecondLaunchLeavesTheFirstServing_data();
    void aSecondLaunchLeavesTheFirstServing();
};

void EndToEndTest::aRememberedPhoneGetsEveryPreviewWhileAnotherWaits()
{
    App app({QStringLiteral("ada"), QStringLiteral("cy")});
    const quint16 port = app.port();
    QVERIFY(port != 0);
    QTRY_COMPARE_WITH_TIMEOUT(app.status(), test::kStatusFalse, kWait);

    QTemporaryDir frames;
    Phone ada(port,
              test::phoneArguments(QStringLiteral("Ada"), QStringLiteral("ada"))
                  + QStringList{QStringLiteral("--out"), frames.path()});
    QTRY_VERIFY_WITH_TIMEOUT(app.lines().contains("Connected: Ada\n"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(app.status(), test::kStatusTrue, kWait);
    // A phone nobody has allowed: its alert stays up, unanswered, while frames flow.
    auto bob = std::make_unique<Phone>(port, test::phoneArguments(QStringLiteral("Bob"), QStringLiteral("bob")));
    QTRY_VERIFY_WITH_TIMEOUT(app.lines().contains("Incoming User ID: bob\n"), kWait);

    QList<QByteArray> sent;
    for (qsizetype size : {qsizetype(0), qsizetype(1), qsizetype(70000), qsizetype(2 * 1024 * 1024)}) {
        sent << randomBytes(size);
        QVERIFY(app.writePreview(sent.last()));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(app.preview()), kWait);
        QTest::qWait(150); // the next preview is a new frame, read on a later tick
    }
    QTRY_COMPARE_WITH_TIMEOUT(ada.messages(), sent.size(), kWait);
    QString why;
    const auto decoded = test::decodeWithPlistlib(savedFrames(frames.path()), &why);
    QVERIFY2(decoded, qPrintable(why));
    double previous = -1e300;
    for (int i = 0; i < sent.size(); ++i) {
        const test::DecodedFrame& frame = decoded->at(i);
        QCOMPARE(frame.keys, QStringList({QStringLiteral("image"), QStringLiteral("timestamp")}));
        QCOMPARE(frame.timestampType, QStringLiteral("float"));
        QVERIFY(frame.image == sent.at(i));
        QVERIFY(frame.timestamp > previous);
        previous = frame.timestamp;
    }

    // The last phone leaves: the plug-in is told.
    ada.kill();
    QTRY_VERIFY_WITH_TIMEOUT(app.lines().contains("Not Connected: Ada\n"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(app.status(), test::kStatusFalse, kWait);

    // With no phone, a preview is consumed at once and kept: a phone that joins afterwards is sent
    // it, once, as the current design.
    QVERIFY(app.writePreview("unseen"));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(app.preview()), 200);
    bob.reset(); // its alert goes, and the next phone's turn comes
    QTemporaryDir cyFrames;
    Phone cy(port,
             test::phoneArguments(QStringLiteral("Cy"), QStringLiteral("cy"))
                 + QStringList{QStringLiteral("--out"), cyFrames.path()});
    QTRY_VERIFY_WITH_TIMEOUT(app.lines().contains("Connected: Cy\n"), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(cy.messages(), 1, kWait);
    QTest::qWait(300);
    QCOMPARE(cy.messages(), 1);
    const auto joined = test::decodeWithPlistlib(savedFrames(cyFrames.path()), &why);
    QVERIFY2(joined, qPrintable(why));
    QCOMPARE(joined->size(), 1);
    QCOMPARE(joined->first().image, QByteArray("unseen"));

    ::kill(pid_t(app.processId()), SIGTERM);
    QVERIFY(app.waitForFinished(kWait));
    QCOMPARE(app.exitCode(), 0);
    QCOMPARE(app.status(), test::kStatusFalse);
    const QByteArray expected = "Incoming User ID: ada\n"
                                "Allowing Incoming User ID ada\n"
                                "Connecting: Ada\n"
                                "Connected: Ada\n"
                                "Incoming User ID: bob\n"
                                "Not Connected: Ada\n"
                                "Incoming User ID: cy\n"
                                "Allowing Incoming User ID cy\n"
                                "Connecting: Cy\n"
                                "Connected: Cy\n";
    QCOMPARE(app.lines(), expected);
}

// The designer edits on while a phone takes nothing, more than its queue could ever hold, then stops:
// once the phone reads again it ends on the last preview, having been sent little in between.
void EndToEndTest::aPhoneThatWasBehindEndsOnTheLastPreview()
{
    App app({QStringLiteral("ada")});
    const quint16 port = app.port();
    QVERIFY(port != 0);
    QTemporaryDir frames;
    Phone ada(port,
              test::phoneArguments(QStringLiteral("Ada"), QStringLiteral("ada"))
                  + QStringList{QStringLiteral("--out"), frames.path()});
    QTRY_COMPARE_WITH_TIMEOUT(app.status(), test::kStatusTrue, kWait);

    // Stopped for less than the keepalive allows (6 s), while 88 MiB of previews are written.
    ::kill(pid_t(ada.processId()), SIGSTOP);
    QByteArray preview = randomBytes(4 * 1024 * 1024);
    const int written = 22;
    for (int i = 0; i < written; ++i) {
        preview[0] = char(i);
        QVERIFY(app.writePreview(preview));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(app.preview()), kWait);
    }
    ::kill(pid_t(ada.processId()), SIGCONT);

    // Cheap to look for while waiting (the image's bytes sit whole in the frame); decoded once after.
    QTRY_VERIFY_WITH_TIMEOUT(ada.messages() > 0 && test::readAll(savedFrames(frames.path()).last()).contains(preview),
                             kWait);
    QTest::qWait(300); // nothing comes after it
    QString why;
    const auto last = test::decodeWithPlistlib({savedFrames(frames.path()).last()}, &why);
    QVERIFY2(last && last->size() == 1, qPrintable(why));
    QVERIFY(last->first().image == preview);
    QVERIFY2(ada.messages() < written / 2, qPrintable(QString::number(ada.messages())));
    QVERIFY(!app.lines().contains("error sending data"));
}

void EndToEndTest::aPreviewThatCannotBeDeletedGoesOutEveryTick()
{
    if (::geteuid() != 0)
        QSKIP("a read-only file system in a mount namespace of the test's own needs root");
    // The shared folder on a tmpfs of its own, holding a preview, then made read-only: the
    // preview can be read but never deleted.
    const QString script
        = QStringLiteral("set -e; folder=\"$HOME/.cache/com.tessaro.Preview\"; mkdir -p \"$folder\"; "
                         "mount -t tmpfs -o size=1m tmpfs \"$folder\"; printf stuck > \"$folder/Preview@3x.png\"; "
                         "mount -o remount,ro \"$folder\"; exec \"$0\"");
    App app({QStringLiteral("ada")},
            {QStringLiteral("unshare"), QStringLiteral("--mount"), QStringLiteral("--propagation"),
             QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"), script});
    const quint16 port = app.port();
    if (port == 0 && app.state() != QProcess::Running)
        QSKIP("unshare or mount refused here");
    QTemporaryDir frames;
    Phone ada(
        port,
        test::phoneArguments(QStringLiteral("Ada"), QStringLiteral("ada"))
            + QStringList{QStringLiteral("--out"), frames.path(), QStringLiteral("--count"), QStringLiteral("3")});
    QVERIFY(ada.waitForExit());
    QCOMPARE(ada.exitCode(), 0);
    QString why;
    const auto decoded = test::decodeWithPlistlib(savedFrames(frames.path()), &why);
    QVERIFY2(decoded, qPrintable(why));
    QCOMPARE(decoded->size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(decoded->at(i).image, QByteArray("stuck"));
        if (i > 0)
            QVERIFY(decoded->at(i).timestamp > decoded->at(i - 1).timestamp);
    }
    QTRY_VERIFY_WITH_TIMEOUT(app.lines().count("Deletion Error\n") >= 3, kWait);
    QVERIFY2(app.lines().startsWith("Couldn't Save Status.json\n"), app.lines().constData());
}

void EndToEndTest::aSecondLaunchLeavesTheFirstServing_data()
{
    QTest::addColumn<bool>("sameUser"); // the same home (and runtime folder), or another user's
    QTest::addColumn<bool>("runtimeFolder"); // XDG_RUNTIME_DIR set, or the config folder instead
    QTest::addColumn<bool>("firstKilled"); // kill -9 of the first before the second launch
    QTest::addColumn<bool>("secondServes");

    QTest::newRow("same user") << true << false << false << false;
    QTest::newRow("same user, runtime folder") << true << true << false << false;
    QTest::newRow("another user") << false << false << false << true;
    QTest::newRow("another user, runtime folder") << false << true << false << true;
    QTest::newRow("same user, after kill -9 of the first") << true << false << true << true;
    QTest::newRow("same user, runtime folder, after kill -9 of the first") << true << true << true << true;
}

void EndToEndTest::aSecondLaunchLeavesTheFirstServing()
{
    QFETCH(bool, sameUser);
    QFETCH(bool, runtimeFolder);
    QFETCH(bool, firstKilled);
    QFETCH(bool, secondServes);

    QTemporaryDir runtimeA;
    QTemporaryDir runtimeB;
    App first({QStringLiteral("ada")}, {}, {}, runtimeFolder ? runtimeA.path() : QString());
    const quint16 port = first.port();
    QVERIFY(port != 0);
    QTemporaryDir frames;
    Phone ada(port,
              test::phoneArguments(QStringLiteral("Ada"), QStringLiteral("ada"))
                  + QStringList{QStringLiteral("--out"), frames.path()});
    QTRY_VERIFY_WITH_TIMEOUT(first.lines().contains("Connected: Ada\n"), kWait);

    const QString lockFolder
        = runtimeFolder ? runtimeA.path() + QStringLiteral("/com.tessaro.Glasswing") : first.configFolder();
    const QStringList lockNames{QStringLiteral("instance-*.lock")};
    QCOMPARE(QDir(lockFolder).entryList(lockNames, QDir::Files | QDir::Hidden).size(), 1);
    if (firstKilled) {
        ::kill(pid_t(first.processId()), SIGKILL);
        QVERIFY(first.waitForFinished(kWait));
        // It left its lock behind, as a crash does.
        QCOMPARE(QDir(lockFolder).entryList(lockNames, QDir::Files | QDir::Hidden).size(), 1);
    }

    App second({QStringLiteral("ada")}, {}, sameUser ? first.home() : QString(),
               runtimeFolder ? (sameUser ? runtimeA.path() : runtimeB.path()) : QString());
    if (secondServes) {
        QVERIFY2(second.port() != 0, second.errors().constData());
        QCOMPARE(second.state(), QProcess::Running);
    } else {
        QVERIFY(second.waitForFinished(kWait));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.lines(), QByteArray());
        QVERIFY2(second.errors().contains("already running"), second.errors().constData());
        QVERIFY2(!second.errors().contains(" on port "), second.errors().constData());
    }
    if (firstKilled)
        return;

    // The first goes on serving the phone it had: a preview written now reaches it.
    const QByteArray image = randomBytes(5000);
    QVERIFY(first.writePreview(image));
    QTRY_COMPARE_WITH_TIMEOUT(ada.messages(), 1, kWait);
    QString why;
    const auto decoded = test::decodeWithPlistlib(savedFrames(frames.path()), &why);
    QVERIFY2(decoded, qPrintable(why));
    QCOMPARE(decoded->size(), 1);
    QVERIFY(decoded->at(0).image == image);
    QCOMPARE(first.state(), QProcess::Running);
    // Its standard output, which the plug-in side reads, says nothing of the second launch.
    QCOMPARE(first.lines(),
             QByteArray("Incoming User ID: ada\n"
                        "Allowing Incoming User ID ada\n"
                        "Connecting: Ada\n"
                        "Connected: Ada\n"));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "end_to_end_test.moc"
