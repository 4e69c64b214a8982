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

// The command in `home`, with `arguments` ("FILE" standing for home/design.png).
class Tool : public QProcess {
public:
    Tool(const QString& home, QStringList arguments)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
            environment.remove(QString::fromLatin1(name));
        environment.insert(QStringLiteral("HOME"), home);
        setProcessEnvironment(environment);
        arguments.replaceInStrings(QStringLiteral("FILE"), home + QStringLiteral("/design.png"));
        start(QStringLiteral(GLASSWING_PREVIEW_BINARY), arguments); // killed by ~QProcess if still running
    }
};

} // namespace

class PreviewToolTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aFileIsPlacedWholeOrRefused_data();
    void aFileIsPlacedWholeOrRefused();
    void watchingPlacesEverySave();
};

void PreviewToolTest::aFileIsPlacedWholeOrRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("content"); // of FILE; none when null
    QTest::addColumn<QByteArray>("status"); // status.json beside an older preview; no folder when null
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("error"); // in standard error
    QTest::addColumn<QByteArray>("output"); // the end of standard output: what it says of phones

    const QStringList file{QStringLiteral("FILE")};
    const auto row = [](const char* name, const QStringList& arguments, const QByteArray& content,
                        const QByteArray& status, int exitCode, const QByteArray& error = {},
                        const QByteArray& output = {}) {
        QTest::newRow(name) << arguments << content << status << exitCode << error << output;
    };
    // One row per ending: the three things it says of phones, then each refusal's exit status.
    row("the largest image the app sends, no folder yet", file, png(kLargest), {}, 0, {},
        "Glasswing has not said whether a phone is connected (is it running?).\n");
    row("over an older preview, no phone", file, png(5000), test::kStatusFalse, 0, {},
        "No phone is connected; the app will show it when one joins.\n");
    row("the signature alone, a phone", file, kSignature, test::kStatusTrue, 0, {},
        "A phone is connected; the app sends it now.\n");
    row("one byte larger", file, png(kLargest + 1), "", 3, "larger than");
    row("seven bytes of the signature", file, kSignature.left(7), "", 2, "not a PNG");
    row("no such file", file, {}, "", 1, "cannot read");
    row("--help", {QStringLiteral("--help")}, {}, {}, 0, {}, "Exit status");
    row("an unknown option", {QStringLiteral("--bogus"), QStringLiteral("FILE")}, png(100), {}, 64, "bogus");
}

void PreviewToolTest::aFileIsPlacedWholeOrRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, status);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, error);
    QFETCH(QByteArray, output);
    QTemporaryDir home;
    const QString folder = home.filePath(QStringLiteral(".cache/com.tessaro.Preview"));
    const QString preview = folder + QStringLiteral("/Preview@3x.png");
    const QByteArray older = png(100, 'o');
    if (!status.isNull()) {
        QVERIFY(QDir().mkpath(folder) && test::writeFile(preview, older));
        if (!status.isEmpty())
            QVERIFY(test::writeFile(folder + QStringLiteral("/status.json"), status));
    }
    if (!content.isNull())
        QVERIFY(test::writeFile(home.filePath(QStringLiteral("design.png")), content));

    Tool tool(home.path(), arguments);
    QVERIFY(tool.waitForFinished(kWait));
    const QByteArray errors = tool.readAllStandardError();
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == exitCode, errors.constData());
    QVERIFY2(errors.contains(error), errors.constData());
    const QByteArray printed = tool.readAllStandardOutput();
    const bool placed = exitCode == 0 && arguments == QStringList{QStringLiteral("FILE")};
    if (placed) {
        // One line, saying whether a phone sees it.
        QCOMPARE(printed,
                 "placed " + QFile::encodeName(home.filePath(QStringLiteral("design.png"))) + " ("
                     + QByteArray::number(content.size()) + " bytes): " + output);
    } else {
        QVERIFY2(output.isEmpty() ? printed.isEmpty() : printed.contains(output), printed.constData());
    }
    // Only the final name, never a temporary file beside it; the older preview kept on refusal.
    QFile::remove(folder + QStringLiteral("/status.json"));
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             placed || !status.isNull() ? QStringList{QStringLiteral("Preview@3x.png")} : QStringList());
    if (placed || !status.isNull())
        QVERIFY(test::readAll(preview) == (placed ? content : older));
}

// Saves as editors make them: by rename (a new file renamed over it) and anew (deleted, then written
// again a moment later); another file written in its folder is no save. (A save in place is app_test's.)
void PreviewToolTest::watchingPlacesEverySave()
{
    QTemporaryDir home;
    const QString preview = home.filePath(QStringLiteral(".cache/com.tessaro.Preview/Preview@3x.png"));
    const QString source = home.filePath(QStringLiteral("design.png"));
    QVERIFY(test::writeFile(source, png(1000, '0')));
    Tool tool(home.path(), {QStringLiteral("--watch"), QStringLiteral("FILE")});
    // Taken as the app takes it: read once whole, then deleted.
    const auto consume = [&](const QByteArray& expected) {
        QTRY_VERIFY_WITH_TIMEOUT(test::readAll(preview) == expected, kWait);
        QVERIFY(QFile::remove(preview));
    };
    consume(png(1000, '0'));
    QVERIFY(test::writeFile(home.filePath(QStringLiteral("notes.txt")), "beside"));
    QTest::qWait(300); // past the settling time: a placement of the unchanged file would come now
    QVERIFY(test::writeFile(source + QStringLiteral(".new"), png(2000, '1')));
    QVERIFY(std::rename(QFile::encodeName(source + QStringLiteral(".new")).constData(),
                        QFile::encodeName(source).constData())
            == 0);
    consume(png(2000, '1'));
    QVERIFY(QFile::remove(source));
    QTest::qWait(300); // past the settling time, so the file is seen missing
    QVERIFY(test::writeFile(source, png(3000, '2')));
    consume(png(3000, '2'));
    ::kill(pid_t(tool.processId()), SIGTERM);
    QVERIFY(tool.waitForFinished(kWait));
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0, tool.readAllStandardError().constData());
    // One placement for the start and one for each save, none for anything else.
    const QByteArray printed = tool.readAllStandardOutput();
    QVERIFY2(printed.count("placed ") == 3, printed.constData());
}

QTEST_GUILESS_MAIN(PreviewToolTest)
#include "preview_tool_test.moc"
