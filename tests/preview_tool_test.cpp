// glasswing-preview, the real command in a temporary home: what it puts in place, what it refuses,
// and what it does while watching a file that an editor saves.

#include "mirroring/PreviewData.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdio>

using namespace glasswing;

namespace {

constexpr int kWait = 10000;
const QByteArray kSignature("\x89PNG\r\n\x1a\n", 8);
const qint64 kLargest = PreviewData::largestImage(32 * 1024 * 1024);

QByteArray png(qsizetype size, char fill = 'p')
{
    return kSignature + QByteArray(size - kSignature.size(), fill);
}

// The command in a home of its own.
class Tool : public QProcess {
public:
    explicit Tool(const QString& home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("HOME"), home);
        setProcessEnvironment(environment);
    }
    ~Tool() override
    {
        if (state() != NotRunning) {
            kill();
            waitForFinished(5000);
        }
    }
    void start(const QStringList& arguments) { QProcess::start(QStringLiteral(GLASSWING_PREVIEW_BINARY), arguments); }
};

} // namespace

class PreviewToolTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aFileIsPlacedWholeOrRefused_data();
    void aFileIsPlacedWholeOrRefused();
    void argumentsAreChecked_data();
    void argumentsAreChecked();
    void watchingPlacesEverySave_data();
    void watchingPlacesEverySave();
};

void PreviewToolTest::aFileIsPlacedWholeOrRefused_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("exists"); // whether the file to place exists at all
    QTest::addColumn<bool>("folderExists"); // the shared folder, holding an older preview
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message"); // on standard error
    // What status.json says (absent when empty), and the words on standard output that follow.
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("printed");

    QVERIFY(kLargest > 32 * 1024 * 1024 - 256 && kLargest <= 32 * 1024 * 1024);
    const QByteArray unknown = "Glasswing has not said whether a phone is connected (is it running?).";
    const QByteArray none = "No phone is connected; the app will show it when one joins.";
    const QByteArray some = "A phone is connected; the app sends it now.";
    QTest::newRow("a PNG, no folder yet") << png(5000) << true << false << 0 << QByteArray() << QByteArray() << unknown;
    QTest::newRow("a PNG over an older preview, no phone")
        << png(5000) << true << true << 0 << QByteArray() << QByteArray(R"({"isConnected":false})") << none;
    QTest::newRow("the signature alone, a phone")
        << kSignature << true << true << 0 << QByteArray() << QByteArray(R"({"isConnected":true})") << some;
    QTest::newRow("the largest image the app sends")
        << png(kLargest) << true << false << 0 << QByteArray() << QByteArray("{") << unknown;
    QTest::newRow("one byte larger") << png(kLargest + 1) << true << true << 3 << QByteArray("larger than")
                                     << QByteArray() << QByteArray();
    QTest::newRow("over 32 MiB") << png(32 * 1024 * 1024 + 1) << true << false << 3 << QByteArray("larger than")
                                 << QByteArray() << QByteArray();
    QTest::newRow("a GIF") << QByteArray("GIF89a").append(100, 'g') << true << true << 2 << QByteArray("not a PNG")
                           << QByteArray() << QByteArray();
    QTest::newRow("seven bytes of the signature")
        << kSignature.left(7) << true << false << 2 << QByteArray("not a PNG") << QByteArray() << QByteArray();
    QTest::newRow("an empty file") << QByteArray() << true << false << 2 << QByteArray("not a PNG") << QByteArray()
                                   << QByteArray();
    QTest::newRow("no such file") << QByteArray() << false << true << 1 << QByteArray("cannot read") << QByteArray()
                                  << QByteArray();
}

void PreviewToolTest::aFileIsPlacedWholeOrRefused()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, exists);
    QFETCH(bool, folderExists);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, printed);

    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral(".cache/com.tessaro.Preview"));
    const QString preview = folder + QStringLiteral("/Preview@3x.png");
    const QByteArray older = png(100, 'o');
    if (folderExists) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(test::writeFile(preview, older));
    }
    if (!status.isEmpty())
        QVERIFY(QDir().mkpath(folder) && test::writeFile(folder + QStringLiteral("/status.json"), status));
    const QString source = home.filePath(QStringLiteral("design.png"));
    if (exists)
        QVERIFY(test::writeFile(source, content));

    Tool tool(home.path());
    tool.start({source});
    QVERIFY(tool.waitForFinished(kWait));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    const QByteArray errors = tool.readAllStandardError();
    QVERIFY2(tool.exitCode() == exitCode, errors.constData());
    QVERIFY2(errors.contains(message), errors.constData());
    // One line when placed, saying whether a phone sees it; nothing otherwise.
    const QByteArray output = tool.readAllStandardOutput();
    if (exitCode == 0) {
        QVERIFY2(output.startsWith("placed " + QFile::encodeName(source) + " (" + QByteArray::number(content.size())
                                   + " bytes): ")
                     && output.endsWith(printed + "\n") && output.count('\n') == 1,
                 output.constData());
    } else {
        QCOMPARE(output, QByteArray());
    }

    // Only the final name, never a temporary file beside it.
    QFile::remove(folder + QStringLiteral("/status.json"));
    const QStringList left = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (exitCode == 0) {
        QCOMPARE(left, QStringList{QStringLiteral("Preview@3x.png")});
        QVERIFY(test::readAll(preview) == content);
    } else if (folderExists) {
        QCOMPARE(left, QStringList{QStringLiteral("Preview@3x.png")});
        QVERIFY(test::readAll(preview) == older);
    } else {
        QCOMPARE(left, QStringList());
    }
}

void PreviewToolTest::argumentsAreChecked_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output"); // on standard output

    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << 0 << QByteArray("--watch");
    QTest::newRow("no file") << QStringList() << 64 << QByteArray();
    QTest::newRow("two files") << QStringList{QStringLiteral("a.png"), QStringLiteral("b.png")} << 64 << QByteArray();
    QTest::newRow("an unknown option") << QStringList{QStringLiteral("--bogus"), QStringLiteral("a.png")} << 64
                                       << QByteArray();
}

void PreviewToolTest::argumentsAreChecked()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);

    QTemporaryDir home;
    Tool tool(home.path());
    tool.start(arguments);
    QVERIFY(tool.waitForFinished(kWait));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), exitCode);
    const QByteArray printed = tool.readAllStandardOutput();
    QVERIFY2(printed.contains(output), printed.constData());
    if (exitCode == 0)
        QVERIFY2(printed.contains("Exit status"), printed.constData());
    QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral(".cache"))));
}

void PreviewToolTest::watchingPlacesEverySave_data()
{
    // In order: "in place" (rewritten), "by rename" (a new file renamed over it), "anew" (deleted,
    // then written again a moment later), "beside" (another file in its folder written: no save).
    QTest::addColumn<QStringList>("steps");

    const QString inPlace = QStringLiteral("in place");
    const QString byRename = QStringLiteral("by rename");
    const QString anew = QStringLiteral("anew");
    const QString beside = QStringLiteral("beside");
    QTest::newRow("in place, then by rename") << QStringList{inPlace, byRename};
    QTest::newRow("by rename, then in place") << QStringList{byRename, inPlace};
    QTest::newRow("by rename twice") << QStringList{byRename, byRename};
    QTest::newRow("deleted, then written anew") << QStringList{anew, inPlace};
    QTest::newRow("another file beside it, then in place") << QStringList{beside, inPlace, beside};
}

void PreviewToolTest::watchingPlacesEverySave()
{
    QFETCH(QStringList, steps);

    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral(".cache/com.tessaro.Preview"));
    const QString preview = folder + QStringLiteral("/Preview@3x.png");
    QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("designs"))));
    const QString source = home.filePath(QStringLiteral("designs/design.png"));
    QVERIFY(test::writeFile(source, png(1000, '0')));

    Tool tool(home.path());
    tool.start({QStringLiteral("--watch"), source});
    // Taken as the app takes it: read once whole, then deleted.
    const auto consume = [&](const QByteArray& expected) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(preview), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(test::readAll(preview) == expected, kWait);
        QVERIFY(QFile::remove(preview));
    };
    consume(png(1000, '0'));
    QVERIFY(!QTest::currentTestFailed());

    int placements = 1;
    for (int i = 0; i < steps.size(); ++i) {
        const QString& step = steps.at(i);
        const QByteArray content = png(2000 + i, char('1' + i));
        if (step == QStringLiteral("beside")) {
            QVERIFY(test::writeFile(home.filePath(QStringLiteral("designs/notes.txt")), content));
            QTest::qWait(300); // past the settling time: a placement of the unchanged file would come now
            continue;
        }
        if (step == QStringLiteral("in place")) {
            QVERIFY(test::writeFile(source, content));
        } else if (step == QStringLiteral("by rename")) {
            const QString replacement = source + QStringLiteral(".new");
            QVERIFY(test::writeFile(replacement, content));
            QVERIFY(std::rename(QFile::encodeName(replacement).constData(), QFile::encodeName(source).constData())
                    == 0);
        } else {
            QVERIFY(QFile::remove(source));
            QTest::qWait(300); // past the settling time, so the file is seen missing
            QVERIFY(test::writeFile(source, content));
        }
        consume(content);
        QVERIFY(!QTest::currentTestFailed());
        ++placements;
    }

    ::kill(pid_t(tool.processId()), SIGTERM);
    QVERIFY(tool.waitForFinished(kWait));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    const QByteArray errors = tool.readAllStandardError();
    QVERIFY2(tool.exitCode() == 0, errors.constData());
    // One placement for the start and one for each save, none for anything else.
    const QByteArray printed = tool.readAllStandardOutput();
    QVERIFY2(printed.count("placed ") == placements, printed.constData());
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(PreviewToolTest)
#include "preview_tool_test.moc"
