// status.json as the plug-in reads it: its exact bytes, and what is said, and kept, when it cannot
// be written.

#include "mirroring/StatusFile.h"
#include "support/TestEnvironment.h"

#include <QTest>

#include <sys/stat.h>

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
};

void StatusFileTest::writesExactBytesOrSaysWhy_data()
{
    QTest::addColumn<bool>("readOnly"); // the shared folder
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("isConnected");
    QTest::addColumn<QByteArray>("output"); // on standard output
    QTest::addColumn<QByteArray>("after");
    QTest::newRow("true over false") << false << kStatusFalse << true << QByteArray() << kStatusTrue;
    QTest::newRow("false over a long old file leaves no tail")
        << false << QByteArray(4096, 'z') << false << QByteArray() << kStatusFalse;
    // The old file itself stays writable: only a write beside it and a rename keep it whole.
    QTest::newRow("read-only shared folder")
        << true << kStatusTrue << false << QByteArray("Couldn't Save Status.json\n") << kStatusTrue;
}

void StatusFileTest::writesExactBytesOrSaysWhy()
{
    QFETCH(bool, readOnly);
    QFETCH(QByteArray, before);
    QFETCH(bool, isConnected);
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, after);
    test::IsolatedHome home;
    const QString folder = sharedCacheFolder();
    QVERIFY(QDir().mkpath(folder) && test::writeFile(home.statusFile(), before));
    if (readOnly) {
        // The writer runs unprivileged (root ignores permission bits).
        chmod(home.path(), 0755);
        chmod(home.cache(), 0755);
        chmod(folder, 0555);
        chmod(home.statusFile(), 0644);
    }
    const test::ChildRun run = test::runInChild([&](QJsonObject&) {
        if (readOnly && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 3;
        writeStatus(isConnected);
        return 0;
    });
    chmod(folder, 0755);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output, output);
    QCOMPARE(test::readAll(home.statusFile()), after);
    // The atomic replace leaves no temporary file behind, whether it worked or not.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("status.json")});
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

QTEST_GUILESS_MAIN(StatusFileTest)
#include "status_file_test.moc"
