#include "platform/SerialQueue.h"
#include "platform/UserDefaults.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QTest>

#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace glasswing;

namespace {

// Has one child process per prefix set `count` keys of its own, "<prefix> <n>", one write each, in
// the store at `path`, all starting at once; true when every write of every child succeeded.
bool writeKeysConcurrently(const QString& path, const QStringList& prefixes, int count)
{
    int go[2];
    if (::pipe(go) != 0)
        return false;
    std::vector<pid_t> children;
    for (const QString& prefix : prefixes) {
        children.push_back(::fork());
        if (children.back() == 0) {
            ::close(go[1]);
            char byte;
            [[maybe_unused]] const auto started = ::read(go[0], &byte, 1); // the end of file, once all are made
            UserDefaults defaults(path);
            bool stored = true;
            for (int n = 0; n < count; ++n)
                stored = defaults.setString(prefix + QLatin1Char(' ') + QString::number(n), prefix) && stored;
            ::_exit(stored ? 0 : 1);
        }
    }
    ::close(go[0]);
    ::close(go[1]);
    bool stored = true;
    for (const pid_t child : children) {
        int status = 0;
        stored = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0
            && stored;
    }
    return stored;
}

} // namespace

class PlatformTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaultsKeepTypesApart_data();
    void defaultsKeepTypesApart();
    void defaultsOnAFullDiskRefuseAndKeepTheOldFile_data();
    void defaultsOnAFullDiskRefuseAndKeepTheOldFile();
    void defaultsFromSeveralProcessesLoseNothingAndSetACorruptFileAsideOnce();

    void serialQueueRunsJobsInOrderOnOneThreadAndFinishesThem();

private:
    test::IsolatedHome m_home;
};

void PlatformTest::defaultsKeepTypesApart_data()
{
    QTest::addColumn<QJsonValue>("stored");
    QTest::addColumn<bool>("asBool");
    QTest::addColumn<QString>("asString");
    QTest::addColumn<QStringList>("asArray");

    const QString a = QStringLiteral("a");
    QTest::newRow("string") << QJsonValue(QStringLiteral("yes")) << false << QStringLiteral("yes") << QStringList();
    QTest::newRow("array keeps order; non-strings left out")
        << QJsonValue(QJsonArray{QStringLiteral("b"), a, 3, QJsonObject()}) << false << QString()
        << QStringList{QStringLiteral("b"), a};
    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << false << QString() << QStringList();
}

void PlatformTest::defaultsKeepTypesApart()
{
    QFETCH(QJsonValue, stored);
    QFETCH(bool, asBool);
    QFETCH(QString, asString);
    QFETCH(QStringList, asArray);

    // Values of kinds this app never writes stay as they were through every write.
    const QString path = m_home.path() + QStringLiteral("/types.json");
    const QByteArray others = R"({"Window Frame": {"x": 10, "y": 20}, "Launch Count": 7})";
    QVERIFY(test::writeFile(path, others));
    UserDefaults defaults(path);
    QVERIFY(stored.isUndefined() ? defaults.removeObjectForKey(QStringLiteral("k"))
                                 : defaults.setObject(QStringLiteral("k"), stored));
    // Read through a second handle: what counts is what the file holds.
    const UserDefaults reader(path);
    QCOMPARE(reader.boolForKey(QStringLiteral("k")), asBool);
    QCOMPARE(reader.stringForKey(QStringLiteral("k")), asString);
    QCOMPARE(reader.stringArrayForKey(QStringLiteral("k")), asArray);
    QCOMPARE(reader.objectForKey(QStringLiteral("k")), stored);
    QJsonObject expected = QJsonDocument::fromJson(others).object();
    if (!stored.isUndefined())
        expected.insert(QStringLiteral("k"), stored);
    QCOMPARE(QJsonDocument::fromJson(test::readAll(path)).object(), expected);
}

// (That handles made with no arguments share the application's one store is seen wherever the
// controller and a test read each other's trusted devices: mirroring_test, end_to_end_test.)

void PlatformTest::defaultsOnAFullDiskRefuseAndKeepTheOldFile_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("said"); // on standard error, once

    const QString full = QStringLiteral("full disk");
    const QString cannotWrite = QStringLiteral("glasswing.defaults: cannot write");
    const QString cannotRead = QStringLiteral("glasswing.defaults: cannot read");
    // A value small enough to sit in the write buffer: only the flush finds the disk full.
    QTest::newRow("full disk") << full << cannotWrite;
    // A file that cannot be read is never replaced. Root reads whatever the permission bits say:
    // that row runs as an unprivileged user.
    QTest::newRow("no read permission") << QStringLiteral("unreadable") << cannotRead;
}

void PlatformTest::defaultsOnAFullDiskRefuseAndKeepTheOldFile()
{
    QFETCH(QString, obstacle);
    QFETCH(QString, said);

    const bool fullDisk = obstacle == QStringLiteral("full disk");
    const bool unreadable = obstacle == QStringLiteral("unreadable");
    const QString folder = m_home.path() + QLatin1Char('/') + QString::fromUtf8(QTest::currentDataTag());
    const QString path = folder + QStringLiteral("/defaults.json");
    const QByteArray devices = R"({"Trusted Devices": ["phone-1", "phone-2"]})";
    QVERIFY(QDir().mkpath(folder));
    if (fullDisk)
        GLASSWING_MACHINE_CASE(true, QString()); // left to its own entry
    else
        QVERIFY(test::writeFile(path, devices));
    if (unreadable) {
        // Writable but not readable by its owner, in a folder that owner may write in.
        if (::geteuid() == 0) {
            ::chmod(m_home.path().toLocal8Bit().constData(), 0755);
            QCOMPARE(::chown(folder.toLocal8Bit().constData(), 65534, 65534), 0);
            QCOMPARE(::chown(path.toLocal8Bit().constData(), 65534, 65534), 0);
        }
        QCOMPARE(::chmod(path.toLocal8Bit().constData(), 0200), 0);
    }
    const test::ChildRun run = test::runInChild([&](QJsonObject& report) {
        if (fullDisk) {
            // The disk is a small tmpfs over the store's folder, in a mount namespace of the child's own.
            const QString why = test::mountPrivateTmpfs(folder, 64);
            if (!why.isEmpty()) {
                report.insert(QStringLiteral("skip"), why);
                return test::kChildSkipped;
            }
            if (!test::writeFile(path, devices))
                return 1;
            report.insert(QStringLiteral("free"), test::fillFileSystem(folder + QStringLiteral("/filler")));
        }
        if (unreadable && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 3;
        report.insert(QStringLiteral("stored"),
                      UserDefaults(path).setString(QStringLiteral("Last Device"), QStringLiteral("phone-3")));
        if (unreadable)
            ::chmod(path.toLocal8Bit().constData(), 0600); // so that it may be read back
        report.insert(QStringLiteral("kept"), QString::fromUtf8(test::readAll(path)));
        // Beside the store: its lock, and no temporary file left behind.
        const QStringList beside = QDir(folder).entryList({QStringLiteral("defaults.json.*")}, QDir::Files);
        report.insert(QStringLiteral("beside"), QJsonArray::fromStringList(beside));
        return 0;
    });
    if (fullDisk) {
        const QString skipped = run.report.value(QStringLiteral("skip")).toString();
        GLASSWING_MACHINE_CASE(run.exitCode != test::kChildSkipped, skipped);
        QCOMPARE(run.report.value(QStringLiteral("free")).toInteger(-1), 0);
    }
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.report.value(QStringLiteral("stored")), QJsonValue(false));
    QCOMPARE(run.report.value(QStringLiteral("kept")).toString().toUtf8(), devices);
    QCOMPARE(run.report.value(QStringLiteral("beside")).toVariant().toStringList(),
             QStringList{QStringLiteral("defaults.json.lock")});
    QVERIFY2(run.messages.filter(said).size() == 1, qPrintable(run.messages.join(QLatin1Char('\n'))));
}

void PlatformTest::defaultsFromSeveralProcessesLoseNothingAndSetACorruptFileAsideOnce()
{
    const QDir folder(m_home.path() + QStringLiteral("/corrupt-race"));
    const QString path = folder.filePath(QStringLiteral("defaults.json"));
    QVERIFY(folder.mkpath(QStringLiteral(".")));
    QMap<QString, QByteArray> copies;
    // A race needs several tries to show: each round starts from a corrupt file that three
    // processes find at the same moment.
    for (int round = 1; round <= 8; ++round) {
        const QByteArray n = QByteArray::number(round);
        // Cut short, not UTF-8, or JSON but not an object.
        const QByteArray garbage[] = {"{\"Trusted Devices\": [\"phone-" + n + "\", \x01\xff trunc", "[" + n + "]"};
        QVERIFY(test::writeFile(path, garbage[round % 2]));
        QVERIFY(writeKeysConcurrently(path, {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}, 3));
        // Set aside once, the corrupt bytes themselves, never a good file, each copy under a name of
        // its own; and the corrupt contents read as nothing, with no write lost.
        const QString suffix = round == 1 ? QString() : QStringLiteral("-%1").arg(round);
        copies.insert(QStringLiteral("defaults.json.corrupt") + suffix, garbage[round % 2]);
        QMap<QString, QByteArray> found;
        for (const QString& name : folder.entryList({QStringLiteral("defaults.json.corrupt*")}, QDir::Files))
            found.insert(name, test::readAll(folder.filePath(name)));
        QCOMPARE(found, copies);
        QCOMPARE(QJsonDocument::fromJson(test::readAll(path)).object().size(), 9);
    }
}

void PlatformTest::serialQueueRunsJobsInOrderOnOneThreadAndFinishesThem()
{
    // Jobs on one thread cannot overlap; the vector and set are touched only by them.
    std::vector<int> order;
    QSet<std::thread::id> threads;
    {
        SerialQueue queue(QStringLiteral("SerializationQueue"));
        for (int i = 0; i < 500; ++i) {
            queue.async([&, i] {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                order.push_back(i);
                threads.insert(std::this_thread::get_id());
            });
        }
        // Destroyed with jobs still queued: they all run first.
    }
    QCOMPARE(order.size(), size_t(500));
    QVERIFY(std::is_sorted(order.begin(), order.end()));
    QCOMPARE(threads.size(), 1);
    QVERIFY(!threads.contains(std::this_thread::get_id()));
}

QTEST_GUILESS_MAIN(PlatformTest)
#include "platform_test.moc"
