#include "mirroring/StatusFile.h"
#include "platform/SerialQueue.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <atomic>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace glasswing;

namespace {

const QByteArray& kTrue = test::kStatusTrue;
const QByteArray& kFalse = test::kStatusFalse;

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Runs writeStatus in a child process that may not write where root could (CI runs as root, and
// root ignores permission bits). Returns what the child printed.
QByteArray writeStatusAsUnprivileged(bool isConnected)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return "<pipe failed>";
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        writeStatus(isConnected);
        ::_exit(0);
    }
    ::close(fds[1]);
    QByteArray output;
    char buffer[256];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, int(got));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "<child failed>";
    return output;
}

} // namespace

class StatusFileTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();

    void writesExactBytes_data();
    void writesExactBytes();
    void createsTheFolderAndMissingParentsSilently();
    void aPlainFileInPlaceOfTheFolderFailsWithOneLine();
    void anUnwritableFolderPrintsTheLineAndKeepsTheOldFile_data();
    void anUnwritableFolderPrintsTheLineAndKeepsTheOldFile();
    void aFullDiskPrintsTheLineAndKeepsTheOldFile_data();
    void aFullDiskPrintsTheLineAndKeepsTheOldFile();
    void manyUpdatesEndWithTheLastValue_data();
    void manyUpdatesEndWithTheLastValue();
    void aConcurrentReaderSeesOnlyWholeContents();

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

    QCOMPARE(after.size(), isConnected ? 20 : 21);
    if (!before.isEmpty()) {
        QVERIFY(QDir().mkpath(sharedCacheFolder()));
        writeFile(m_home->statusFile(), before);
    }
    test::StdoutCapture capture;
    writeStatus(isConnected);
    QCOMPARE(test::readAll(m_home->statusFile()), after);
    QCOMPARE(capture.text(), QByteArray());
    // The atomic replace leaves no temporary file behind.
    QCOMPARE(QDir(sharedCacheFolder()).entryList(QDir::Files), QStringList{QStringLiteral("status.json")});
}

void StatusFileTest::createsTheFolderAndMissingParentsSilently()
{
    const QString caches = m_home->path() + QStringLiteral("/deep/er/caches");
    qputenv("XDG_CACHE_HOME", caches.toUtf8());
    test::StdoutCapture capture;
    writeStatus(true);
    QCOMPARE(test::readAll(caches + QStringLiteral("/com.tessaro.Preview/status.json")), kTrue);
    QCOMPARE(capture.text(), QByteArray());
}

void StatusFileTest::aPlainFileInPlaceOfTheFolderFailsWithOneLine()
{
    QVERIFY(QDir().mkpath(m_home->cache()));
    writeFile(sharedCacheFolder(), "a file, not a folder");
    test::StdoutCapture capture;
    writeStatus(false);
    QCOMPARE(capture.text(), QByteArray("Couldn't Save Status.json\n"));
    QCOMPARE(test::readAll(sharedCacheFolder()), QByteArray("a file, not a folder"));
}

void StatusFileTest::anUnwritableFolderPrintsTheLineAndKeepsTheOldFile_data()
{
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<QByteArray>("lines");

    QTest::newRow("read-only shared folder") << true << QByteArray("Couldn't Save Status.json\n");
    QTest::newRow("read-only caches folder, no shared folder")
        << false << QByteArray("Couldn't Create Preview Folder\nCouldn't Save Status.json\n");
}

void StatusFileTest::anUnwritableFolderPrintsTheLineAndKeepsTheOldFile()
{
    QFETCH(bool, folderExists);
    QFETCH(QByteArray, lines);

    const QString folder = sharedCacheFolder();
    QVERIFY(QDir().mkpath(folderExists ? folder : m_home->cache()));
    if (folderExists)
        writeFile(m_home->statusFile(), kTrue);
    // The unprivileged writer must reach the folder, but not write in it.
    ::chmod(m_home->path().toLocal8Bit().constData(), 0755);
    ::chmod(m_home->cache().toLocal8Bit().constData(), folderExists ? 0755 : 0555);
    if (folderExists) {
        ::chmod(m_home->statusFile().toLocal8Bit().constData(), 0644);
        ::chmod(folder.toLocal8Bit().constData(), 0555);
    }

    QCOMPARE(writeStatusAsUnprivileged(false), lines);
    if (folderExists) {
        QCOMPARE(test::readAll(m_home->statusFile()), kTrue);
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("status.json")});
    } else {
        QVERIFY(!QFileInfo::exists(folder));
    }
    ::chmod(folder.toLocal8Bit().constData(), 0755);
    ::chmod(m_home->cache().toLocal8Bit().constData(), 0755);
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
        QFile old(statusFile);
        if (!old.open(QIODevice::WriteOnly) || old.write(before) != before.size() || !old.flush())
            return 1;
        old.close();
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

void StatusFileTest::manyUpdatesEndWithTheLastValue_data()
{
    QTest::addColumn<bool>("last");
    QTest::newRow("ends true") << true;
    QTest::newRow("ends false") << false;
}

void StatusFileTest::manyUpdatesEndWithTheLastValue()
{
    QFETCH(bool, last);
    SerialQueue queue(QStringLiteral("SerializationQueue"));
    for (int i = 0; i < 400; ++i)
        updateStatus(queue, i % 2 == 0);
    updateStatus(queue, last);
    queue.waitUntilIdle();
    QCOMPARE(test::readAll(m_home->statusFile()), last ? kTrue : kFalse);
}

void StatusFileTest::aConcurrentReaderSeesOnlyWholeContents()
{
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
    for (int i = 0; i < 1500; ++i)
        updateStatus(queue, i % 2 == 0);
    queue.waitUntilIdle();
    stop = true;
    reader.join();
    QCOMPARE(unexpected, QByteArray());
    QVERIFY(reads > 0);
}

QTEST_GUILESS_MAIN(StatusFileTest)
#include "status_file_test.moc"
