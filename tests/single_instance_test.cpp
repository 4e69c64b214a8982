// One instance per user: what a launch makes of the lock it finds (free, left by a crash, held by
// a live process that does not answer or lets go, or by another user's), how an instance answers the
// next launch, and where the lock and socket live.

#include "app/SingleInstance.h"
#include "support/TestEnvironment.h"

#include <QLockFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstring>
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
pid_t startHolder(const QString& folder, Holder holder)
{
    int ready[2];
    if (!QDir().mkpath(folder) || ::pipe(ready) != 0)
        return -1;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child == 0) {
        // A crashed instance is never destroyed: the lock and socket files stay, as after kill -9.
        auto* instance = holder == Holder::Crashed ? new SingleInstance(folder) : nullptr;
        QLockFile lock(SingleInstance(folder).lockFilePath());
        lock.setStaleLockTime(0);
        bool ok = instance ? instance->claim(0ms) == Outcome::Primary : lock.tryLock(0);
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
        if (holder == Holder::Crashed)
            ::_exit(0);
        if (holder == Holder::QuitsSoon) {
            ::usleep(300 * 1000);
            lock.unlock();
            ::_exit(0);
        }
        // Another user's server answers whatever it is asked as an instance would.
        while (listener >= 0) {
            const int connection = ::accept(listener, nullptr, nullptr);
            if (connection < 0)
                continue;
            char request[64];
            [[maybe_unused]] auto got = ::read(connection, request, sizeof request);
            [[maybe_unused]] auto answered = ::send(connection, "ok\n", 3, MSG_NOSIGNAL); // to a peer that may be gone
            ::close(connection);
        }
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
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

} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aLaunchTakesTheLockOrDefersToItsHolder_data();
    void aLaunchTakesTheLockOrDefersToItsHolder();
    // Root: a server of another user's at the socket.
    void aLaunchBesideAnotherUsersServer();

private:
    static void check(Holder holder, const QString& folder, Outcome expected);
};

void SingleInstanceTest::aLaunchTakesTheLockOrDefersToItsHolder_data()
{
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<QString>("folder"); // under a fresh temporary folder
    QTest::addColumn<Outcome>("expected");
    const QString folder = QStringLiteral("run/com.tessaro.Glasswing");
    QTest::newRow("nobody") << Holder::Nobody << folder << Outcome::Primary;
    // As with a long host name: the socket's path is too long for a socket address.
    QTest::newRow("nobody, folder too long for a socket path")
        << Holder::Nobody
        << QStringLiteral("a-folder-name-long-enough-that-a-socket-path-in-it-cannot-be-bound/and-deeper-still/"
                          "com.tessaro.Glasswing")
        << Outcome::Primary;
    QTest::newRow("a crashed instance's lock and socket") << Holder::Crashed << folder << Outcome::Primary;
    QTest::newRow("a holder that quits while this one waits") << Holder::QuitsSoon << folder << Outcome::Primary;
    QTest::newRow("a holder that never answers") << Holder::SilentLive << folder << Outcome::OtherDidNotAnswer;
    QTest::newRow("a folder that cannot be made")
        << Holder::Nobody << QStringLiteral("a-file/com.tessaro.Glasswing") << Outcome::Unguarded;
}

void SingleInstanceTest::aLaunchTakesTheLockOrDefersToItsHolder()
{
    QFETCH(Holder, holder);
    QFETCH(QString, folder);
    QFETCH(Outcome, expected);
    check(holder, folder, expected);
}

void SingleInstanceTest::aLaunchBesideAnotherUsersServer()
{
    GLASSWING_MACHINE_CASE(::geteuid() == 0, QStringLiteral("another user's server needs root"));
    check(Holder::OtherUser, QStringLiteral("run/com.tessaro.Glasswing"), Outcome::OtherDidNotAnswer);
}

void SingleInstanceTest::check(Holder holder, const QString& folder, Outcome expected)
{
    // What standard error says: a launch that becomes the instance says nothing, the later launch it
    // then serves says the last.
    const QByteArray message = expected == Outcome::OtherDidNotAnswer ? "does not answer"
        : expected == Outcome::Unguarded                             ? "running without the one-instance check"
                                                                     : "brought its window forward";
    const auto patience = std::chrono::milliseconds(expected == Outcome::OtherDidNotAnswer ? 1000 : 20000);

    QTemporaryDir root;
    QVERIFY(test::writeFile(root.filePath(QStringLiteral("a-file")), "not a folder"));
    const QString path = root.filePath(folder);
    const pid_t child = holder == Holder::Nobody ? 0 : startHolder(path, holder);
    QVERIFY(child >= 0);
    const auto cleanup = qScopeGuard([&] {
        if (child > 0 && holder != Holder::Crashed) {
            ::kill(child, SIGKILL); // our own child, not yet waited for
            ::waitpid(child, nullptr, 0);
        }
    });

    // The launch. When it becomes the instance, it must also serve: a later launch is told to exit
    // and the window is asked for once.
    test::StderrCapture errors;
    SingleInstance instance(path);
    const Outcome outcome = instance.claim(patience);
    QSignalSpy asked(&instance, &SingleInstance::activationRequested);
    const Outcome later = outcome == Outcome::Primary ? claimFromAnotherThread(path, 20000ms) : outcome;
    errors.restore();
    QCOMPARE(int(outcome), int(expected));
    QVERIFY2(errors.text().contains(message), errors.text().constData());
    if (outcome != Outcome::Primary)
        return;
    QCOMPARE(int(later), int(Outcome::AskedOtherToShow));
    QCOMPARE(asked.count(), 1);
    QVERIFY2(errors.text().count('\n') == 1, errors.text().constData()); // its own launch was silent
    // Only in the user's own folder is a socket safe from another user's; a bare name, which Qt
    // would put in the shared /tmp, is not found from here. A folder this launch made is private.
    struct stat status { };
    const QString socket = instance.serverName();
    QVERIFY2(::stat(QFile::encodeName(socket).constData(), &status) == 0 && S_ISSOCK(status.st_mode)
                 && (status.st_mode & 077) == 0
                 && QFileInfo(socket).canonicalPath() == QFileInfo(path).canonicalFilePath(),
             qPrintable(socket));
    QVERIFY(holder != Holder::Nobody
            || (::stat(QFile::encodeName(path).constData(), &status) == 0 && (status.st_mode & 077) == 0));
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "single_instance_test.moc"
