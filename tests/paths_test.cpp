// Where the app keeps its files, from HOME and the XDG variables: one table for every folder.
#include "app/SingleInstance.h"
#include "mirroring/StatusFile.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace glasswing;

namespace {

const char* const kVariables[] = {"HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"};
using Environment = QList<QByteArray>; // in the order of kVariables; a null value is unset

// Every row sets all five, so none depends on what an earlier one left.
void setEnvironment(const Environment& values)
{
    for (int i = 0; i < 5; ++i)
        values.value(i).isNull() ? void(qunsetenv(kVariables[i])) : void(qputenv(kVariables[i], values.value(i)));
}

using Directory = std::function<QString()>;
const QByteArray kUnset; // null: the variable is not in the environment

} // namespace

Q_DECLARE_METATYPE(Directory)

class PathsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void foldersFollowTheBaseDirectoryRules_data();
    void foldersFollowTheBaseDirectoryRules();
};

void PathsTest::foldersFollowTheBaseDirectoryRules_data()
{
    QTest::addColumn<Directory>("directory");
    QTest::addColumn<Environment>("environment");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("noStatus"); // no caches folder: status.json is not saved anywhere

    const struct {
        const char* name;
        Directory directory;
        int variable; // in kVariables
        QString underHome;
    } directories[] = {
        {"caches", paths::cachesDirectory, 1, QStringLiteral("/.cache")},
        {"config", paths::configDirectory, 2, QStringLiteral("/.config")},
        {"application support", paths::applicationSupportDirectory, 3, QStringLiteral("/.local/share")},
    };
    for (const auto& d : directories) {
        const QString home = QStringLiteral("/home/ann") + d.underHome;
        const auto row
            = [&](const char* what, const QByteArray& homeValue, const QByteArray& xdg, const QString& expected) {
                  // The other XDG variables point elsewhere, so a mix-up shows.
                  Environment environment{homeValue, "/elsewhere", "/elsewhere", "/elsewhere", "/elsewhere"};
                  environment[d.variable] = xdg;
                  QTest::addRow("%s: %s", d.name, what)
                      << d.directory << environment << expected << (d.variable == 1 && expected.isEmpty());
              };
        row("absolute XDG variable with a trailing slash, HOME unset", kUnset, "/srv/ann/", QStringLiteral("/srv/ann"));
        row("XDG variable empty", "/home/ann", "", home);
        // Relative values are ignored: they would depend on the working directory.
        row("relative XDG variable", "/home/ann", "./cache", home);
        row("HOME is the root folder", "/", kUnset, d.underHome);
        // No usable home: no such folder at all, rather than one under "/" or the working directory.
        row("HOME unset", kUnset, kUnset, QString());
        row("relative HOME", "home/ann", kUnset, QString());
    }
    // The one-instance lock and socket: the runtime folder, else the config folder.
    const Directory instance = SingleInstance::defaultFolder;
    const auto row = [&](const char* what, const Environment& environment, const char* expected) {
        QTest::addRow("one instance: %s", what) << instance << environment << QString::fromUtf8(expected) << false;
    };
    row("runtime folder", {"/home/a", kUnset, "/cfg", kUnset, "/run/user/5/"}, "/run/user/5/com.tessaro.Glasswing");
    row("relative runtime folder", {"/home/a", kUnset, kUnset, kUnset, "run/user/5"},
        "/home/a/.config/com.tessaro.Glasswing");
    row("config home", {"/home/a", kUnset, "/cfg", kUnset, kUnset}, "/cfg/com.tessaro.Glasswing");
}

void PathsTest::foldersFollowTheBaseDirectoryRules()
{
    QFETCH(Directory, directory);
    QFETCH(Environment, environment);
    QFETCH(QString, expected);
    QFETCH(bool, noStatus);
    setEnvironment(environment);
    QCOMPARE(directory(), expected);
    if (!noStatus)
        return;

    // The write is reported as failed, and nothing lands under "/" (where "//.cache" would be) or
    // in the working directory.
    const QString rootStatus = QStringLiteral("//.cache/com.tessaro.Preview/status.json");
    QVERIFY2(!QFileInfo::exists(rootStatus), "a status.json under / already exists; cannot tell");
    QTemporaryDir workingDirectory;
    const QString saved = QDir::currentPath();
    QDir::setCurrent(workingDirectory.path());
    QByteArray printed;
    {
        test::StdoutCapture capture;
        writeStatus(true);
        printed = capture.text();
    }
    QDir::setCurrent(saved);
    const bool wroteUnderRoot = QFile::remove(rootStatus); // the machine left as it was
    QVERIFY2(!wroteUnderRoot, qPrintable(rootStatus + QStringLiteral(" was written")));
    QCOMPARE(QDir(workingDirectory.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(printed, QByteArray("Couldn't Save Status.json\n"));
}

QTEST_GUILESS_MAIN(PathsTest)
#include "paths_test.moc"
