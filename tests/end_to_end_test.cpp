// The real program with real phones (separate processes) on loopback, in a temporary home: what
// the plug-in and a phone see of a whole run. The same promises are not tested again in process.

#include "mirroring/PreviewData.h"
#include "support/PeerHarness.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

using namespace glasswing;
using test::kWait;
using test::Phone;

namespace {

// The real program in a home of its own (or another run's `home`), trusting the user IDs given,
// started through `wrapper` when one is given.
class App : public QProcess {
public:
    explicit App(const QStringList& trusted, const QStringList& wrapper = {}, const QString& home = {})
        : m_homePath(home.isEmpty() ? m_home.path() : home)
    {
        QDir().mkpath(m_homePath + QStringLiteral("/.config/com.tessaro.Glasswing"));
        if (home.isEmpty())
            test::writeFile(
                m_homePath + QStringLiteral("/.config/com.tessaro.Glasswing/defaults.json"),
                QJsonDocument(QJsonObject{{QStringLiteral("Trusted Devices"), QJsonArray::fromStringList(trusted)}})
                    .toJson());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("HOME"), m_homePath);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        setProcessEnvironment(environment);
        const QStringList command = wrapper + QStringList{QStringLiteral(GLASSWING_BINARY)};
        start(command.first(), command.mid(1));
    }
    ~App() override
    {
        kill(); // our own child, by its id
        waitForFinished(5000);
    }

    QString home() const { return m_homePath; }
    QString preview() const { return m_homePath + QStringLiteral("/.cache/com.tessaro.Preview/Preview@3x.png"); }
    QByteArray status() const
    {
        return test::readAll(m_homePath + QStringLiteral("/.cache/com.tessaro.Preview/status.json"));
    }
    QByteArray errors() { return m_errors += readAllStandardError(); }
    QByteArray lines() { return m_output += readAllStandardOutput(); }
    // The port it advertises on, once it says so; 0 when it does not.
    quint16 port()
    {
        (void)QTest::qWaitFor([&] { return errors().contains(" on port ") || state() == NotRunning; }, kWait);
        const auto match = QRegularExpression(QStringLiteral(" on port (\\d+)")).match(QString::fromUtf8(errors()));
        return match.hasMatch() ? match.captured(1).toUShort() : 0;
    }
    // Puts a preview in place as the plug-in does: written beside it, then renamed.
    bool writePreview(const QByteArray& bytes) const
    {
        const QString part = QFileInfo(preview()).path() + QStringLiteral("/.Preview@3x.png.part");
        return test::writeFile(part, bytes) && QFile::rename(part, preview());
    }

private:
    QTemporaryDir m_home;
    const QString m_homePath;
    QByteArray m_errors;
    QByteArray m_output;
};

const QByteArray kAdaConnected("Incoming User ID: ada\nAllowing Incoming User ID ada\n"
                               "Connecting: Ada\nConnected: Ada\n");

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(QRandomGenerator::global()->generate());
    return bytes;
}

// The images in the frames a phone saved with --out, in order; "<bad frame>" for a frame whose
// size does not match its image's.
QList<QByteArray> savedImages(const QString& folder)
{
    QList<QByteArray> images;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("message-*.bin")}, QDir::Files, QDir::Name)) {
        const QByteArray frame = test::readAll(folder + u'/' + name);
        qint64 image = PreviewData::largestImage(frame.size());
        images << (PreviewData::encodedSize(image) == frame.size() ? frame.mid(PreviewData::imageOffset(image), image)
                                                                   : QByteArray("<bad frame>"));
    }
    return images;
}

// A phone whose user ID is its name in lower case, saving what it gets in `out`.
std::unique_ptr<Phone> phone(quint16 port, const QString& name, const QString& out = {}, const QStringList& more = {})
{
    const QStringList saving = out.isEmpty() ? QStringList() : QStringList{QStringLiteral("--out"), out};
    return std::make_unique<Phone>(port, test::phoneArguments(name, name.toLower()) + saving + more);
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aRememberedPhoneGetsEveryPreviewWhileAnotherWaits();
    void aPreviewThatCannotBeDeletedGoesOutEveryTick();
};

// One run: a phone nobody allowed waits while the remembered one gets every preview, a second
// launch leaving the first serving; the last phone leaving is told to the plug-in. A launch after a
// crash is single_instance_test's.
void EndToEndTest::aRememberedPhoneGetsEveryPreviewWhileAnotherWaits()
{
    App app({QStringLiteral("ada")});
    const quint16 port = app.port();
    QVERIFY(port != 0);
    QTRY_COMPARE_WITH_TIMEOUT(app.status(), test::kStatusFalse, kWait);
    QTemporaryDir frames;
    const auto ada = phone(port, QStringLiteral("Ada"), frames.path());
    QTRY_COMPARE_WITH_TIMEOUT(app.status(), test::kStatusTrue, kWait);
    // A phone nobody has allowed: its alert stays up, unanswered, while frames flow.
    const auto bob = phone(port, QStringLiteral("Bob"));
    QTRY_VERIFY_WITH_TIMEOUT(app.lines().contains("Incoming User ID: bob\n"), kWait);
    App second({}, {}, app.home());
    QVERIFY(second.waitForFinished(kWait) && second.exitCode() == 0 && second.lines().isEmpty());
    QVERIFY2(second.errors().contains("already running") && !second.errors().contains(" on port "),
             second.errors().constData());

    QList<QByteArray> sent;
    for (qsizetype size : {qsizetype(0), qsizetype(1), qsizetype(70000), qsizetype(2 * 1024 * 1024)}) {
        sent << randomBytes(size);
        QVERIFY(app.writePreview(sent.last()));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(app.preview()), kWait);
    }
    QTRY_COMPARE_WITH_TIMEOUT(savedImages(frames.path()), sent, kWait);

    // The last phone leaves: the plug-in is told. A preview is still taken within the tick. The
    // output says nothing of the second launch.
    ada->kill();
    QTRY_COMPARE_WITH_TIMEOUT(app.status(), test::kStatusFalse, kWait);
    QVERIFY(app.writePreview("unseen"));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(app.preview()), 200);
    QTRY_COMPARE_WITH_TIMEOUT(app.lines(), kAdaConnected + "Incoming User ID: bob\nNot Connected: Ada\n", kWait);
}

void EndToEndTest::aPreviewThatCannotBeDeletedGoesOutEveryTick()
{
    // The shared folder on a tmpfs of its own, holding a preview, then made read-only: the
    // preview can be read but never deleted.
    const QString script
        = QStringLiteral("set -e; folder=\"$HOME/.cache/com.tessaro.Preview\"; mkdir -p \"$folder\"; "
                         "mount -t tmpfs -o size=1m tmpfs \"$folder\"; printf stuck > \"$folder/Preview@3x.png\"; "
                         "mount -o remount,ro \"$folder\"; exec \"$0\"");
    App app({QStringLiteral("ada")},
            {QStringLiteral("unshare"), QStringLiteral("--mount"), QStringLiteral("--propagation"),
             QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"), script});
    // Where no private mount namespace may be had, the wrapper stops before the app starts, saying why.
    const quint16 port = app.port();
    GLASSWING_MACHINE_CASE(port != 0 || !(app.errors().contains("unshare") || app.errors().contains("mount")),
                           QString::fromLocal8Bit(app.errors()));
    QVERIFY2(port != 0, app.errors().constData());
    QTemporaryDir frames;
    const auto ada
        = phone(port, QStringLiteral("Ada"), frames.path(), {QStringLiteral("--count"), QStringLiteral("3")});
    QVERIFY(ada->waitForExit());
    QCOMPARE(ada->exitCode(), 0);
    QCOMPARE(savedImages(frames.path()), QList<QByteArray>(3, "stuck"));
    QTRY_VERIFY_WITH_TIMEOUT(app.lines().count("Deletion Error\n") >= 3, kWait);
    QVERIFY2(app.lines().startsWith("Couldn't Save Status.json\n"), app.lines().constData());
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "end_to_end_test.moc"
