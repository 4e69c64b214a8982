// status.json as the plug-in reads it: its exact bytes, what is said when it cannot be written, and
// that a reader never sees half a file.

#include "mirroring/StatusFile.h"
#include "platform/SerialQueue.h"
#include "support/TestEnvironment.h"

#include <QTest>

#include <atomic>
#include <sys/stat.h>
#include <thread>

using namespace glasswing;
using test::kStatusFalse;
using test::kStatusTrue;

namespace {

void chmod(const QString& path, mode_t mode)
{
    ::chmod(QFile::encodeName(path).constData(), mode);
}

// Why a tmpfs cannot be mounted in a private mount namespace here; empty when it can.
QString tmpfsRefusal()
{
    const QTemporaryDir folder;
    const test::ChildRun run = test::runInChild([&](QJsonObject& report) {
        report.insert(QStringLiteral("why"), test::mountPrivateTmpfs(folder.path(), 64));
        return 0;
    });
    return run.exitCode == 0 ? run.report.value(QStringLiteral("why")).toString() : QStringLiteral("fork failed");
}

} // namespace

class StatusFileTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void writesExactBytesOrSaysWhy_data();
    void writesExactBytesOrSaysWhy();
    void aFullDiskKeepsTheOldFile();
    void aReaderSeesOnlyWholeContentsAndTheLastValueWins();
};

void StatusFileTest::writesExactBytesOrSaysWhy_data()
{
    QTest::addColumn<QString>("obstacle"); // in the way of the write
    QTest::addColumn<QByteArray>("before"); // status.json before; none when empty
    QTest::addColumn<bool>("isConnected");
    QTest::addColumn<QByteArray>("output"); // on standard output
    QTest::addColumn<QByteArray>("after");

    const QByteArray none = "<unreadable>";
    QTest::newRow("true, folders made") << QString() << QByteArray() << true << QByteArray() << kStatusTrue;
    QTest::newRow("true over false leaves no tail") << QString() << kStatusFalse << true << QByteArray() << kStatusTrue;
    QTest::newRow("false over a long old file")
        << QString() << QByteArray(4096, 'z') << false << QByteArray() << kStatusFalse;
    QTest::newRow("read-only shared folder") << QStringLiteral("read-only folder") << kStatusTrue << false
                                             << QByteArray("Couldn't Save Status.json\n") << kStatusTrue;
    QTest::newRow("read-only caches folder") << QStringLiteral("read-only caches") << QByteArray() << false
                                             << QByteArray("Couldn't Create Preview Folder\nCouldn't Save Status.json\n")
                                             << none;
    QTest::newRow("a file in place of the shared folder")
        << QStringLiteral("file") << QByteArray() << false << QByteArray("Couldn't Save Status.json\n") << none;
}

void StatusFileTest::writesExactBytesOrSaysWhy()
{
    QFETCH(QString, obstacle);
    QFETCH(QByteArray, before);
    QFETCH(bool, isConnected);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, after);
    test::IsolatedHome home;
    const QString folder = sharedCacheFolder();
    if (!before.isEmpty())
        QVERIFY(QDir().mkpath(folder) && test::writeFile(home.statusFile(), before));
    if (obstacle == QStringLiteral("file"))
        QVERIFY(QDir().mkpath(home.cache()) && test::writeFile(folder, "not a folder"));
    const bool readOnly = obstacle.startsWith(QStringLiteral("read-only"));
    if (readOnly) {
        // The writer runs unprivileged (root ignores permission bits): it reaches the folder but
        // cannot write in it.
        QVERIFY(QDir().mkpath(home.cache()));
        chmod(home.path(), 0755);
        chmod(home.cache(), obstacle == QStringLiteral("read-only caches") ? 0555 : 0755);
        chmod(folder, 0555);
        chmod(home.statusFile(), 0644);
    }
    const test::ChildRun run = test::runInChild([&](QJsonObject&) {
        if (readOnly && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 3;
        writeStatus(isConnected);
        return 0;
    });
    chmod(home.cache(), 0755);
    chmod(folder, 0755);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output, output);
    QCOMPARE(test::readAll(home.statusFile()), after);
    if (obstacle == QStringLiteral("file"))
        QCOMPARE(test::readAll(folder), QByteArray("not a folder"));
    // The atomic replace leaves no temporary file behind, whether it worked or not.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
             after == "<unreadable>" ? QStringList() : QStringList{QStringLiteral("status.json")});
}

void StatusFileTest::aFullDiskKeepsTheOldFile()
{
    QString why;
    GLASSWING_MACHINE_CASE((why = tmpfsRefusal()).isEmpty(), why);
    test::IsolatedHome home;
    QVERIFY(QDir().mkpath(home.cache()));
    // A small tmpfs over the caches folder, in a mount namespace of the child's own, filled up;
    // then false written over true, as at the end of a run.
    const test::ChildRun run = test::runInChild([&](QJsonObject& report) {
        const QString refused = test::mountPrivateTmpfs(home.cache(), 64);
        if (!refused.isEmpty() || !QDir().mkpath(sharedCacheFolder()) || !test::writeFile(home.statusFile(), kStatusTrue))
            return 1;
        report.insert(QStringLiteral("free"), test::fillFileSystem(home.cache() + QStringLiteral("/filler")));
        writeStatus(false);
        report.insert(QStringLiteral("status"), QString::fromLatin1(test::readAll(home.statusFile())));
        report.insert(QStringLiteral("files"),
                      QJsonArray::fromStringList(QDir(sharedCacheFolder()).entryList(QDir::Files | QDir::Hidden)));
        return 0;
    });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.report.value(QStringLiteral("free")).toInteger(-1), 0);
    QCOMPARE(run.output, QByteArray("Couldn't Save Status.json\n"));
    QCOMPARE(run.report.value(QStringLiteral("status")).toString().toLatin1(), kStatusTrue);
    QCOMPARE(run.report.value(QStringLiteral("files")).toVariant().toStringList(),
             QStringList{QStringLiteral("status.json")});
}

void StatusFileTest::aReaderSeesOnlyWholeContentsAndTheLastValueWins()
{
    test::IsolatedHome home;
    writeStatus(false);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    QByteArray unexpected;
    std::thread reader([&] {
        while (!stop && unexpected.isEmpty()) {
            const QByteArray bytes = test::readAll(home.statusFile());
            if (bytes != kStatusTrue && bytes != kStatusFalse)
                unexpected = bytes.isEmpty() ? QByteArray("<empty>") : bytes;
            ++reads;
        }
    });
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    for (int i = 0; i < 201; ++i)
        updateStatus(queue, i % 2 == 1);
    updateStatus(queue, true);
    updateStatus(queue, false);
    queue.waitUntilIdle();
    stop = true;
    reader.join();
    QCOMPARE(unexpected, QByteArray());
    QVERIFY(reads > 0);
    QCOMPARE(test::readAll(home.statusFile()), kStatusFalse);
}

QTEST_GUILESS_MAIN(StatusFileTest)
#include "status_file_test.moc"
