#include "mirroring/StatusFile.h"
#include "platform/Paths.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <utility>
#include <vector>

using namespace glasswing;

namespace {

// Sets (or, for a null value, unsets) HOME and the XDG folders for as long as it lives, then puts
// back what was there.
class EnvironmentScope {
public:
    EnvironmentScope(const QByteArray& home, const QByteArray& xdgCache, const QByteArray& xdgConfig,
                     const QByteArray& xdgData)
    {
        set("HOME", home);
        set("XDG_CACHE_HOME", xdgCache);
        set("XDG_CONFIG_HOME", xdgConfig);
        set("XDG_DATA_HOME", xdgData);
    }
    ~EnvironmentScope()
    {
        for (const auto& [name, saved] : m_saved)
            put(name, saved);
    }

private:
    void set(const char* name, const QByteArray& value)
    {
        m_saved.push_back({name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray()});
        put(name, value);
    }
    static void put(const char* name, const QByteArray& value)
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }

    std::vector<std::pair<const char*, QByteArray>> m_saved;
};

// The working directory changed to `path` for as long as it lives.
class WorkingDirectoryScope {
public:
    explicit WorkingDirectoryScope(const QString& path)
        : m_saved(QDir::currentPath())
    {
        QDir::setCurrent(path);
    }
    ~WorkingDirectoryScope() { QDir::setCurrent(m_saved); }

private:
    QString m_saved;
};

using Directory = std::function<QString()>;

const QByteArray kUnset; // null: the variable is not in the environment

} // namespace

Q_DECLARE_METATYPE(Directory)

class PathsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void directoriesFollowTheBaseDirectoryRules_data();
    void directoriesFollowTheBaseDirectoryRules();
    void statusWithoutAUsableHomeIsNotSaved_data();
    void statusWithoutAUsableHomeIsNotSaved();
};

void PathsTest::directoriesFollowTheBaseDirectoryRules_data()
{
    QTest::addColumn<Directory>("directory");
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("home");
    QTest::addColumn<QByteArray>("xdg");
    QTest::addColumn<QString>("expected");

    const struct {
        const char* name;
        Directory directory;
        QByteArray variable;
        QString underHome;
    } directories[] = {
        {"caches", paths::cachesDirectory, "XDG_CACHE_HOME", QStringLiteral("/.cache")},
        {"config", paths::configDirectory, "XDG_CONFIG_HOME", QStringLiteral("/.config")},
        {"application support", paths::applicationSupportDirectory, "XDG_DATA_HOME", QStringLiteral("/.local/share")},
    };
    for (const auto& d : directories) {
        const QString home = QStringLiteral("/home/ann") + d.underHome;
        const auto row = [&](const char* what, const QByteArray& homeValue, const QByteArray& xdgValue,
                             const QString& expected) {
            QTest::addRow("%s: %s", d.name, what) << d.directory << d.variable << homeValue << xdgValue << expected;
        };
        row("absolute XDG variable", "/home/ann", "/srv/ann", QStringLiteral("/srv/ann"));
        row("absolute XDG variable with a trailing slash", "/home/ann", "/srv/ann/", QStringLiteral("/srv/ann"));
        row("absolute XDG variable, HOME unset", kUnset, "/srv/ann", QStringLiteral("/srv/ann"));
        row("XDG variable unset", "/home/ann", kUnset, home);
        row("XDG variable empty", "/home/ann", "", home);
        // Relative values are ignored: they would depend on the working directory.
        row("relative XDG variable", "/home/ann", "cache", home);
        row("dot-relative XDG variable", "/home/ann", "./cache", home);
        row("XDG variable with an unexpanded tilde", "/home/ann", "~/cache", home);
        row("HOME with a trailing slash", "/home/ann/", kUnset, home);
        row("HOME is the root folder", "/", kUnset, d.underHome);
        // No usable home: no such directory at all, rather than one under "/" or the working directory.
        row("HOME unset", kUnset, kUnset, QString());
        row("HOME empty", "", kUnset, QString());
        row("relative HOME", "home/ann", kUnset, QString());
        row("relative XDG variable, HOME unset", kUnset, "cache", QString());
    }
}

void PathsTest::directoriesFollowTheBaseDirectoryRules()
{
    QFETCH(Directory, directory);
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, home);
    QFETCH(QByteArray, xdg);
    QFETCH(QString, expected);
    // The other two XDG variables point elsewhere, so a mix-up shows.
    const QByteArray other = "/elsewhere";
    EnvironmentScope environment(home, variable == "XDG_CACHE_HOME" ? xdg : other,
                                 variable == "XDG_CONFIG_HOME" ? xdg : other,
                                 variable == "XDG_DATA_HOME" ? xdg : other);

    QCOMPARE(directory(), expected);
}

void PathsTest::statusWithoutAUsableHomeIsNotSaved_data()
{
    QTest::addColumn<QByteArray>("home");
    QTest::addColumn<QByteArray>("xdgCache");
    QTest::newRow("HOME unset") << kUnset << kUnset;
    QTest::newRow("HOME unset, relative XDG_CACHE_HOME") << kUnset << QByteArray("cache");
    QTest::newRow("relative HOME") << QByteArray("home") << kUnset;
}

// With no home, status.json has nowhere to go: the write is reported as failed, and nothing lands
// under "/" (where "//.cache" would be) or in the working directory.
void PathsTest::statusWithoutAUsableHomeIsNotSaved()
{
    QFETCH(QByteArray, home);
    QFETCH(QByteArray, xdgCache);
    const QString rootCache = QStringLiteral("//.cache");
    const QString rootStatus = rootCache + QStringLiteral("/com.tessaro.Preview/status.json");
    const bool rootCacheExisted = QFileInfo::exists(rootCache);
    QVERIFY2(!QFileInfo::exists(rootStatus), "a status.json under / already exists; cannot tell");
    QTemporaryDir workingDirectory;
    QVERIFY(workingDirectory.isValid());

    QByteArray printed;
    {
        EnvironmentScope environment(home, xdgCache, kUnset, kUnset);
        WorkingDirectoryScope inWorkingDirectory(workingDirectory.path());
        test::StdoutCapture capture;
        writeStatus(true);
        printed = capture.text();
    }
    const bool wroteUnderRoot = QFileInfo::exists(rootStatus);
    // Leave the machine as it was, whatever the outcome: only what this write could have made.
    if (wroteUnderRoot) {
        QFile::remove(rootStatus);
        QDir().rmdir(rootCache + QStringLiteral("/com.tessaro.Preview"));
        if (!rootCacheExisted)
            QDir().rmdir(rootCache);
    }

    QVERIFY2(!wroteUnderRoot, qPrintable(rootStatus + QStringLiteral(" was written")));
    const QStringList left = QDir(workingDirectory.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("left in the working directory: ") + left.join(u' ')));
    QCOMPARE(printed, QByteArray("Couldn't Save Status.json\n"));
}

QTEST_GUILESS_MAIN(PathsTest)
#include "paths_test.moc"
