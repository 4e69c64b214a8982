#include "mirroring/StatusFile.h"
#include "platform/SerialQueue.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <atomic>
#include <sys/stat.h>
#include <thread>

using namespace glasswing;

namespace {

const QByteArray& kTrue = test::kStatusTrue;
const QByteArray& kFalse = test::kStatusFalse;

} // namespace

class StatusFileTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();

    void writesExactBytes_data();
    void writesExactBytes();
    void aFolderItCannotWriteInPrintsTheLinesAndKeepsTheOldFile_data();
    void aFolderItCannotWriteInPrintsTheLinesAndKeepsTheOldFile();
    void aFullDiskPrintsTheLineAndKeepsTheOldFile_data();
    void aFullDiskPrintsTheLineAndKeepsTheOldFile();
    void updatesEndWithTheLastValueAndAReaderSeesOnlyWholeContents_data();
    void updatesEndWithTheLastValueAndAReaderSeesOnlyWholeContents();

private:
    std::unique_ptr<test::IsolatedHome> m_home;
};

void StatusFileTest::init()
{
    m_home = std::make_unique<test::IsolatedHome>();
}

void StatusFileTest::writesExactBytes_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("isConnected");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("true, new file") << QByteArray() << true << kTrue;
    QTest::newRow("false, new file") << QByteArray() << false << kFalse;
    QTest::newRow("true over false leaves no tail") << kFalse << true << kTrue;
    QTest::newRow("false over a long old file") << QByteArray(4096, 'z') << false << kFalse;
}

void StatusFileTest::writesExactBytes()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, isConnected);
    QFETCH(QByteArray, after);

    // However many folders are missing, they are made silently.
    const QString folder = m_home->path() + QStringLiteral("/deep/er/caches/com.tessaro.Preview");
    qputenv("XDG_CACHE_HOME", (m_home->path() + QStringLiteral("/deep/er/caches")).toUtf8());
    QCOMPARE(after.size(), isConnected ? 20 : 21);
    if (!before.isEmpty())
        QVERIFY(QDir().mkpath(folder) && test::writeFile(folder + QStringLiteral("/status.json"), before));
    test::StdoutCapture capture;
    writeStatus(isConnected);
    QCOMPARE(test::readAll(folder + QStringLiteral("/status.json")), after);
    QCOMPARE(capture.text(), QByteArray());
    // The atomic replace leaves no temporary file behind.
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("status.json")});
}

void StatusFileTest::aFolderItCannotWriteInPrintsTheLinesAndKeepsTheOldFile_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QByteArray>("lines");

    QTest::newRow("read-only shared folder")
        << QStringLiteral("read-only folder") << QByteArray("Couldn't Save Status.json\n");
    QTest::newRow("read-only caches folder, no shared folder")
        << QStringLiteral("read-only caches")
        << QByteArray("Couldn't Create Preview Folder\nCouldn't Save Status.json\n");
    QTest::newRow("a plain file in place of the shared folder")
        << QStringLiteral("file") << QByteArray("Couldn't Save Status.json\n");
}

void StatusFileTest::aFolderItCannotWriteInPrintsTheLinesAndKeepsTheOldFile()
{
    QFETCH(QString, obstacle);
    QFETCH(QByteArray, lines);

    const QString folder = sharedCacheFolder();
    QVERIFY(QDir().mkpath(obstacle == QStringLiteral("read-only folder") ? folder : m_home->cache()));
    if (obstacle == QStringLiteral("read-only folder"))
        QVERIFY(test::writeFile(m_home->statusFile(), kTrue));
    if (obstacle == QStringLiteral("file"))
        QVERIFY(test::writeFile(folder, "a file, not a folder"));
    // The writer, unprivileged (root ignores permission bits), must reach the folder but not write in it.
    ::chmod(m_home->path().toLocal8Bit().constData(), 0755);
    ::chmod(m_home->cache().toLocal8Bit().constData(), obstacle == QStringLiteral("read-only caches") ? 0555 : 0755);
    if (obstacle == QStringLiteral("read-only folder")) {
        ::chmod(m_home->statusFile().toLocal8Bit().constData(), 0644);
        ::chmod(folder.toLocal8Bit().constData(), 0555);
    }

    const test::ChildRun run = test::runInChild([](QJsonObject&) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 3;
        writeStatus(false);
        return 0;
    });
    ::chmod(folder.toLocal8Bit().constData(), 0755);
    ::chmod(m_home->cache().toLocal8Bit().constData(), 0755);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output, lines);
    if (obstacle == QStringLiteral("read-only folder")) {
        QCOMPARE(test::readAll(m_home->statusFile()), kTrue);
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("status.json")});
    } else if (obstacle == QStringLiteral("file")) {
        QCOMPARE(test::readAll(folder), QByteArray("a file, not a folder"));
    } else {
        QVERIFY(!QFileInfo::exists(folder));
    }
}

void StatusFileTest::aFullDiskPrintsTheLineAndKeepsTheOldFile_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("isConnected");

    QTest::newRow("false over true (the termination write)") << kTrue << false;
    QTest::newRow("true over false") << kFalse << true;
}

void StatusFileTest::aFullDiskPrintsTheLineAndKeepsTheOldFile()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, isConnected);

    // The disk is a small tmpfs over the caches folder, in a mount namespace of the child's own.
    QVERIFY(QDir().mkpath(m_home->cache()));
    const QString cache = m_home->cache();
    const QString statusFile = m_home->statusFile();
    const test::ChildRun run = test::runInChild([&](QJsonObject& report) {
        const QString why = test::mountPrivateTmpfs(cache, 64);
        if (!why.isEmpty()) {
            report.insert(QStringLiteral("skip"), why);
            return test::kChildSkipped;
        }
        QDir().mkpath(sharedCacheFolder());
        if (!test::writeFile(statusFile, before))
            return 1;
        report.insert(QStringLiteral("free"), test::fillFileSystem(cache + QStringLiteral("/filler")));
        writeStatus(isConnected);
        report.insert(QStringLiteral("status"), QString::fromLatin1(test::readAll(statusFile)));
        report.insert(QStringLiteral("files"),
                      QJsonArray::fromStringList(QDir(sharedCacheFolder()).entryList(QDir::Files)));
        return 0;
    });
    if (run.exitCode == test::kChildSkipped)
        QSKIP(qPrintable(run.report.value(QStringLiteral("skip")).toString()));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.report.value(QStringLiteral("free")).toInteger(-1), 0);

    QCOMPARE(run.report.value(QStringLiteral("status")).toString().toLatin1(), before);
    QCOMPARE(run.output, QByteArray("Couldn't Save Status.json\n"));
    // The failed temporary file is gone too.
    QCOMPARE(run.report.value(QStringLiteral("files")).toVariant().toStringList(),
             QStringList{QStringLiteral("status.json")});
}

void StatusFileTest::updatesEndWithTheLastValueAndAReaderSeesOnlyWholeContents_data()
{
    QTest::addColumn<bool>("last");
    QTest::newRow("ends true") << true;
    QTest::newRow("ends false") << false;
}

void StatusFileTest::updatesEndWithTheLastValueAndAReaderSeesOnlyWholeContents()
{
    QFETCH(bool, last);
    writeStatus(false);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    QByteArray unexpected;
    std::thread reader([&] {
        const QString path = m_home->statusFile();
        while (!stop) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                unexpected = "<missing>";
                return;
            }
            const QByteArray bytes = file.readAll();
            if (bytes != kTrue && bytes != kFalse) {
                unexpected = bytes.isEmpty() ? QByteArray("<empty>") : bytes;
                return;
            }
            ++reads;
        }
    });
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    for (int i = 0; i < 1000; ++i)
        updateStatus(queue, i % 2 == 0);
    updateStatus(queue, last);
    queue.waitUntilIdle();
    stop = true;
    reader.join();
    QCOMPARE(unexpected, QByteArray());
    QVERIFY(reads > 0);
    QCOMPARE(test::readAll(m_home->statusFile()), last ? kTrue : kFalse);
}

QTEST_GUILESS_MAIN(StatusFileTest)
#include "status_file_test.moc"
