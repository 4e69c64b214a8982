#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace glasswing::test {

// The two exact contents of status.json.
inline const QByteArray kStatusTrue = "{\"isConnected\":true}";
inline const QByteArray kStatusFalse = "{\"isConnected\":false}";

// Points HOME and the XDG folders at a fresh temporary folder for as long as it lives, so that
// a test never touches the real user's files.
class IsolatedHome {
public:
    IsolatedHome()
    {
        const QString root = m_dir.path();
        qputenv("HOME", root.toUtf8());
        qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/.cache")).toUtf8());
        qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/.config")).toUtf8());
        qputenv("XDG_DATA_HOME", (root + QStringLiteral("/.local/share")).toUtf8());
    }
    QString path() const { return m_dir.path(); }
    QString cache() const { return m_dir.path() + QStringLiteral("/.cache"); }
    QString statusFile() const { return cache() + QStringLiteral("/com.tessaro.Preview/status.json"); }

private:
    QTemporaryDir m_dir;
};

// Sends everything one of the process's standard streams receives into a file while it lives;
// `text()` reads back what was captured so far, `restore()` ends the capture early.
class StreamCapture {
public:
    StreamCapture(std::FILE* stream, int fd)
        : m_stream(stream)
        , m_fd(fd)
    {
        std::fflush(m_stream);
        m_saved = ::dup(m_fd);
        const int file = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(file, m_fd);
        ::close(file);
    }
    ~StreamCapture() { restore(); }
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(m_stream);
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        m_saved = -1;
    }
    QByteArray text() const
    {
        std::fflush(m_stream);
        QFile file(m_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath(QStringLiteral("captured"));
    std::FILE* m_stream;
    int m_fd;
    int m_saved = -1;
};

struct StdoutCapture : StreamCapture {
    StdoutCapture()
        : StreamCapture(stdout, STDOUT_FILENO)
    {
    }
};

struct StderrCapture : StreamCapture {
    StderrCapture()
        : StreamCapture(stderr, STDERR_FILENO)
    {
    }
};

// Replaces whatever the file at `path` holds with `bytes`; true when all were written.
inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() && file.flush();
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// What a child made by `runInChild` did.
struct ChildRun {
    int exitCode = -1; // -1 when it did not exit on its own in time
    QByteArray output; // everything it wrote to standard output
    QJsonObject report; // what its body reported
    QStringList messages; // what it logged, as "category: message"
};

// The exit code of a child body that cannot do its work on this machine; its report says why under
// "skip".
constexpr int kChildSkipped = 77;

// Runs `body` in a forked child process, for what the test process itself must not do: drop its
// privileges, enter a mount namespace of its own. `body` fills in a report and returns the exit
// code. The child's standard output and log messages are captured, in files opened before `body`
// runs. Waits at most `timeoutMs`, then kills the child.
inline ChildRun runInChild(const std::function<int(QJsonObject& report)>& body, int timeoutMs = 20000)
{
    ChildRun run;
    const QTemporaryDir files;
    const QString outputPath = files.filePath(QStringLiteral("output"));
    const QString reportPath = files.filePath(QStringLiteral("report"));
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int output = ::open(QFile::encodeName(outputPath).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        QFile report(reportPath);
        if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0 || !report.open(QIODevice::WriteOnly))
            ::_exit(125);
        static QStringList messages;
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& message) {
            messages.append(QString::fromLatin1(context.category ? context.category : "default") + QStringLiteral(": ")
                            + message);
        });
        QJsonObject findings;
        const int code = body(findings);
        findings.insert(QStringLiteral("messages"), QJsonArray::fromStringList(messages));
        report.write(QJsonDocument(findings).toJson(QJsonDocument::Compact));
        report.close();
        ::_exit(code);
    }
    if (child < 0)
        return run;
    int status = 0;
    pid_t ended = 0;
    const QDeadlineTimer deadline(timeoutMs);
    while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 || (ended < 0 && errno == EINTR)) {
        if (deadline.hasExpired()) {
            ::kill(child, SIGKILL); // not yet waited for, so still this child
            ::waitpid(child, nullptr, 0);
            break;
        }
        ::usleep(1000);
    }
    if (ended == child && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    QFile output(outputPath);
    if (output.open(QIODevice::ReadOnly))
        run.output = output.readAll();
    QFile report(reportPath);
    if (report.open(QIODevice::ReadOnly))
        run.report = QJsonDocument::fromJson(report.readAll()).object();
    for (const QJsonValue& message : run.report.value(QStringLiteral("messages")).toArray())
        run.messages.append(message.toString());
    return run;
}

// For a child made by `runInChild` only: gives it a mount namespace of its own, makes every mount
// in it private (so that nothing done here can reach the machine's mounts), then mounts a tmpfs of
// `kilobytes` over `folder`. Returns why it could not, or an empty string.
inline QString mountPrivateTmpfs(const QString& folder, int kilobytes)
{
    const auto failed = [](const char* what) {
        return QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    };
    if (::geteuid() != 0)
        return QStringLiteral("mounting a tmpfs needs root");
    if (::unshare(CLONE_NEWNS) != 0)
        return failed("unshare(CLONE_NEWNS) refused");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed("cannot make the private namespace's mounts private");
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0755";
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                options.constData())
        != 0)
        return failed("cannot mount a tmpfs");
    return {};
}

// Fills the file system that holds `path` to the last byte with the file `path`. Returns the
// bytes left free for ordinary writers afterwards, which should be 0.
inline qint64 fillFileSystem(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    const QByteArray block(4096, 'f');
    for (qsizetype size = block.size(); size > 0; size /= 2) {
        while (::write(fd, block.constData(), size_t(size)) == ssize_t(size)) { }
    }
    ::close(fd);
    struct statvfs stats { };
    if (::statvfs(QFile::encodeName(path).constData(), &stats) != 0)
        return -1;
    return qint64(stats.f_bavail) * qint64(stats.f_frsize);
}

} // namespace glasswing::test

// A case that needs something of the machine (root, namespaces, a mount that may be made
// private, Xvfb) runs as a CTest entry of its own (glasswing_machine_cases in CMake). When the
// machine lacks it, that entry ends with CTest's skip code and the cause, so the summary shows
// it skipped rather than passed; the binary's whole-suite entry leaves such cases to that entry.
#define GLASSWING_MACHINE_CASE(available, cause)                                               \
    do {                                                                                       \
        if (qEnvironmentVariableIsSet("GLASSWING_MACHINE_CASES_ELSEWHERE"))                    \
            QSKIP("runs as a CTest entry of its own");                                        \
        if (!(available)) {                                                                    \
            std::fprintf(stderr, "skipped: %s\n", qPrintable(QString(cause)));                \
            std::fflush(nullptr);                                                              \
            std::_Exit(77);                                                                    \
        }                                                                                      \
    } while (0)
