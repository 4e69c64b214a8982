// One instance per user: what a launch makes of the lock it finds (free, left by a crash, held by
// a live process that does not answer or lets go), how an instance answers the next launch, and
// where the lock and socket live.

#include "app/SingleInstance.h"
#include "support/TestEnvironment.h"

#include <QLockFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

using namespace glasswing;
using namespace std::chrono_literals;
using Outcome = SingleInstance::Outcome;

Q_DECLARE_METATYPE(SingleInstance::Outcome)

namespace {

// Who holds the lock when the launch under test comes.
enum class Holder {
    Nobody,
    Crashed, // an instance that took the lock and its socket, then died without cleaning up
    SilentLive, // a live process holding the lock that never answers (an instance still starting)
    QuitsSoon, // a live process holding the lock that lets it go a moment later
    // Another user's process at the socket, answering every request as an instance would; it
    // holds the lock too, as it could where the name once fell back to the shared /tmp.
    OtherUser,
};

constexpr uid_t kNobody = 65534;

// A child process that takes the lock in `folder` as `holder` says, and is ready when this returns.
// Another user's server tells on `told` (a pipe's reading end, non-blocking) what it was asked.
pid_t startHolder(const QString& folder, Holder holder, int& told)
{
    if (!QDir().mkpath(folder))
        return -1;
    int ready[2];
    int tell[2];
    if (::pipe(ready) != 0 || ::pipe2(tell, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        if (holder == Holder::Crashed) {
            // Never destroyed: the lock and socket files stay, as after kill -9.
            auto* instance = new SingleInstance(folder);
            const bool ok = instance->claim(0ms) == Outcome::Primary;
            [[maybe_unused]] auto written = ::write(ready[1], ok ? "1" : "0", 1);
            ::_exit(0);
        }
        QLockFile lock(SingleInstance(folder).lockFilePath());
        lock.setStaleLockTime(0);
        bool ok = lock.tryLock(0);
        int listener = -1;
        if (holder == Holder::OtherUser) {
            // Bound as this user, where the socket goes, then listening as another: what a
            // connecting launch learns of its peer is who listened.
            const QByteArray name = QFile::encodeName(SingleInstance(folder).serverName());
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            ok = ok && size_t(name.size()) < sizeof address.sun_path;
            if (ok)
                std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
            listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ok = ok && listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
                && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && ::listen(listener, 8) == 0;
        }
        [[maybe_unused]] auto written = ::write(ready[1], ok ? "1" : "0", 1);
        if (holder == Holder::OtherUser) {
            // Answers as an instance would; what it was asked goes to standard output.
            for (;;) {
                const int connection = ::accept(listener, nullptr, nullptr);
                if (connection < 0)
                    continue;
                char request[64] = {};
                const ssize_t got = ::read(connection, request, sizeof request - 1);
                if (got > 0) [[maybe_unused]]
                    auto said = ::write(tell[1], request, size_t(got));
                [[maybe_unused]] auto answered = ::write(connection, "ok\n", 3);
                ::close(connection);
            }
        }
        if (holder == Holder::QuitsSoon) {
            ::usleep(300 * 1000);
            lock.unlock();
            ::_exit(0);
        }
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    ::close(tell[1]);
    told = tell[0];
    char answer = '0';
    const bool ok = child > 0 && ::read(ready[0], &answer, 1) == 1 && answer == '1';
    ::close(ready[0]);
    if (child > 0 && (holder == Holder::Crashed || !ok)) {
        ::kill(child, SIGKILL); // our own child, not yet waited for
        ::waitpid(child, nullptr, 0); // gone for good, not a zombie that still counts as running
    }
    return ok ? child : -1;
}

// Asks from another thread, while this one serves.
Outcome claimFromAnotherThread(const QString& folder, std::chrono::milliseconds patience)
{
    std::atomic<int> result{-1};
    std::thread thread([&] {
        SingleInstance second(folder);
        result = int(second.claim(patience));
    });
    const bool ended = QTest::qWaitFor([&] { return result != -1; }, 60000);
    thread.join();
    return ended ? Outcome(result.load()) : Outcome(-1);
}

// A launch in `folder`. When it becomes the instance, it must also serve: a later launch is told
// to exit and the window is asked for once, over a socket that is the user's alone, in a folder
// that is private when this launch made it; `why` says what it did not do.
Outcome launch(const QString& folder, std::chrono::milliseconds patience, QString* why)
{
    const bool folderExisted = !folder.isEmpty() && QFileInfo(folder).isDir();
    SingleInstance instance(folder);
    const Outcome outcome = instance.claim(patience);
    if (outcome != Outcome::Primary)
        return outcome;
    QSignalSpy asked(&instance, &SingleInstance::activationRequested);
    const Outcome later = claimFromAnotherThread(folder, 20000ms);
    if (later != Outcome::AskedOtherToShow || asked.count() != 1)
        *why = QStringLiteral("a later launch got %1, with %2 activations").arg(int(later)).arg(asked.count());
    // Only in the user's own folder is a socket safe from another user's; a bare name, which Qt
    // would put in the shared /tmp, is not found from here.
    struct stat status { };
    const QString socket = instance.serverName();
    if (::stat(QFile::encodeName(socket).constData(), &status) != 0 || !S_ISSOCK(status.st_mode)
        || (status.st_mode & 077) != 0 || QFileInfo(socket).canonicalPath() != QFileInfo(folder).canonicalFilePath())
        *why += QStringLiteral(" the socket %1 is missing, open to others or not in the folder").arg(socket);
    if (!folderExisted && (::stat(QFile::encodeName(folder).constData(), &status) != 0 || (status.st_mode & 077) != 0))
        *why += QStringLiteral(" the folder it made is open to others");
    return outcome;
}

} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aLaunchTakesTheLockOrDefersToItsHolder_data() { addRows(false); }
    void aLaunchTakesTheLockOrDefersToItsHolder() { launchAsTheRowSays(); }
    // Root: another user's server, a host name of the test's own (a UTS namespace).
    void aLaunchAmongOtherUsersAndLongHostNames_data() { addRows(true); }
    void aLaunchAmongOtherUsersAndLongHostNames();

private:
    static void addRows(bool asRoot);
    static void launchAsTheRowSays();
};

void SingleInstanceTest::addRows(bool asRoot)
{
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<QString>("folder"); // under a fresh temporary folder; "" for none at all
    QTest::addColumn<Outcome>("expected");
    QTest::addColumn<QByteArray>("hostName"); // in a UTS namespace of the test's own; "" for the machine's
    const auto row = [](const char* name, Holder holder, Outcome expected, const char* folder = "run/com.tessaro.Glasswing",
                        const QByteArray& hostName = {}) {
        QTest::newRow(name) << holder << QString::fromUtf8(folder) << expected << hostName;
    };
    if (asRoot) {
        // 64 characters, the most a host name may have: with it the socket's path in the runtime
        // folder is too long for a socket address.
        const QByteArray longHost = QByteArray("host-").append(59, 'h');
        row("nobody, a long host name", Holder::Nobody, Outcome::Primary, "run/com.tessaro.Glasswing", longHost);
        row("another user's server at the socket", Holder::OtherUser, Outcome::OtherDidNotAnswer);
        return;
    }
    row("nobody", Holder::Nobody, Outcome::Primary);
    row("nobody, folder too long for a socket path", Holder::Nobody, Outcome::Primary,
        "a-folder-name-long-enough-that-a-socket-path-in-it-cannot-be-bound/and-deeper-still/com.tessaro.Glasswing");
    row("a crashed instance's lock and socket", Holder::Crashed, Outcome::Primary);
    row("a holder that quits while this one waits", Holder::QuitsSoon, Outcome::Primary);
    row("a holder that never answers", Holder::SilentLive, Outcome::OtherDidNotAnswer);
    row("no folder", Holder::Nobody, Outcome::Unguarded, "");
    row("a folder that cannot be made", Holder::Nobody, Outcome::Unguarded, "a-file/com.tessaro.Glasswing");
}

void SingleInstanceTest::aLaunchAmongOtherUsersAndLongHostNames()
{
    GLASSWING_MACHINE_CASE(::geteuid() == 0, QStringLiteral("another user's server and a host name of the test's own need root"));
    QFETCH(QByteArray, hostName);
    int ownHost = -1;
    if (!hostName.isEmpty()) {
        // This thread, and the threads it starts, under a host name of the test's choosing.
        ownHost = ::open("/proc/self/ns/uts", O_RDONLY | O_CLOEXEC);
        QVERIFY(ownHost >= 0 && ::unshare(CLONE_NEWUTS) == 0);
        QVERIFY(::sethostname(hostName.constData(), size_t(hostName.size())) == 0);
    }
    const auto ownHostBack = qScopeGuard([ownHost] {
        if (ownHost >= 0) {
            ::setns(ownHost, CLONE_NEWUTS);
            ::close(ownHost);
        }
    });
    launchAsTheRowSays();
}

void SingleInstanceTest::launchAsTheRowSays()
{
    QFETCH(Holder, holder);
    QFETCH(QString, folder);
    QFETCH(Outcome, expected);
    // What standard error says: a launch that becomes the instance says nothing, the later launch it
    // then serves says the last.
    const QByteArray message = expected == Outcome::OtherDidNotAnswer ? "does not answer"
        : expected == Outcome::Unguarded                             ? "running without the one-instance check"
                                                                     : "brought its window forward";
    const auto patience = std::chrono::milliseconds(expected == Outcome::OtherDidNotAnswer ? 1000 : 20000);

    QTemporaryDir root;
    QVERIFY(test::writeFile(root.filePath(QStringLiteral("a-file")), "not a folder"));
    const QString path = folder.isEmpty() ? QString() : root.filePath(folder);

    pid_t child = -1;
    int told = -1;
    if (holder != Holder::Nobody) {
        child = startHolder(path, holder, told);
        QVERIFY(child > 0);
    }
    const auto cleanup = qScopeGuard([&] {
        if (child > 0 && holder != Holder::Crashed) {
            ::kill(child, SIGKILL); // our own child, not yet waited for
            ::waitpid(child, nullptr, 0);
        }
        if (told >= 0)
            ::close(told);
    });
    if (holder == Holder::Crashed)
        QVERIFY(QFileInfo(SingleInstance(path).lockFilePath()).exists());

    test::StderrCapture errors;
    QString why;
    const Outcome outcome = launch(path, patience, &why);
    errors.restore();
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(int(outcome), int(expected));
    QVERIFY2(errors.text().contains(message), errors.text().constData());
    QVERIFY2(!errors.text().contains("cannot listen"), errors.text().constData());
    if (expected == Outcome::Primary) // its own launch was silent: the one line is the later launch's
        QVERIFY2(errors.text().count('\n') == 1, errors.text().constData());
    if (holder == Holder::OtherUser) {
        // Nothing was asked of a stranger's server.
        char asked[64] = {};
        QCOMPARE(::read(told, asked, sizeof asked), ssize_t(-1));
        QVERIFY(!errors.text().contains("brought its window forward"));
    }
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "single_instance_test.moc"
