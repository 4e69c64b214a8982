// What the app costs while nothing happens: CPU time a second, wake-ups a second on each of its
// threads, and resident memory, over 30 s (or --seconds N), in three cases:
//   - no phone, offscreen;
//   - one idle phone joined, offscreen;
//   - the main window hidden (unmapped) on a private X server, where Xvfb and xdotool exist.
//
// A wake-up is a context switch of the thread (voluntary: it slept and was woken; involuntary: it
// was preempted), read from /proc/PID/task/TID/status before and after the window.
//
// Usage: idle GLASSWING_BINARY GLASSWING_PHONE_BINARY [--seconds N]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

struct ThreadSample {
    QString name;
    qint64 switches = 0;
};

struct Sample {
    double cpuMs = 0;
    double residentMiB = 0;
    QMap<int, ThreadSample> threads;
};

QByteArray readProc(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 statusField(const QByteArray& status, const QByteArray& key)
{
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

Sample sample(qint64 pid)
{
    Sample result;
    const QByteArray stat = readProc(QStringLiteral("/proc/%1/stat").arg(pid));
    // The command name may hold spaces; the fields after it do not (utime and stime are 14, 15).
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() > 12)
        result.cpuMs = (fields[11].toDouble() + fields[12].toDouble()) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    result.residentMiB = double(statusField(readProc(QStringLiteral("/proc/%1/status").arg(pid)), "VmRSS")) / 1024.0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray status = readProc(tasks.filePath(tid) + QStringLiteral("/status"));
        ThreadSample thread;
        thread.name = QString::fromUtf8(status.split('\n').value(0).mid(5).trimmed());
        thread.switches
            = statusField(status, "voluntary_ctxt_switches") + statusField(status, "nonvoluntary_ctxt_switches");
        result.threads.insert(tid.toInt(), thread);
    }
    return result;
}

void pause(int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

bool waitFor(const std::function<bool()>& done, int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

std::unique_ptr<QProcess> child(const QProcessEnvironment& environment)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    return process;
}

void end(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

enum class Case { NoPhone, IdlePhone, Hidden };

struct Options {
    QString app;
    QString phone;
    int seconds = 30;
};

// A private X server on a display number nobody uses; nullptr where there is no Xvfb.
std::unique_ptr<QProcess> startXvfb(QString& display)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        return nullptr;
    for (int number = 140; number < 160; ++number) {
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))
            || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
            continue;
        display = QStringLiteral(":%1").arg(number);
        auto server = child(QProcessEnvironment::systemEnvironment());
        server->start(xvfb,
                      {display, QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1024x768x24"),
                       QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!server->waitForStarted(5000))
            return nullptr;
        if (waitFor([&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)); }, 5000))
            return server;
        end(*server);
    }
    return nullptr;
}

void runCase(const Options& options, Case which)
{
    const char* label = which == Case::NoPhone ? "no phone"
        : which == Case::IdlePhone             ? "one idle phone"
                                               : "window hidden";
    QTemporaryDir home;
    const QString config = home.path() + QStringLiteral("/.config/com.tessaro.Glasswing");
    const QString runtime = home.path() + QStringLiteral("/runtime");
    QDir().mkpath(config);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
        QFile defaults(config + QStringLiteral("/defaults.json"));
        if (defaults.open(QIODevice::WriteOnly))
            defaults.write(R"({"Trusted Devices":["idle-phone"],"Has Shown Mac Welcome":true})");
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    for (const char* name : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "WAYLAND_DISPLAY"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    const QString nowhere = QStringLiteral("unix:path=/nonexistent/glasswing-bench-bus");
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), nowhere);
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), nowhere);

    std::unique_ptr<QProcess> xserver;
    if (which == Case::Hidden) {
        QString display;
        xserver = startXvfb(display);
        if (!xserver) {
            std::printf("| %s | skipped: needs Xvfb and xdotool | | | |\n", label);
            return;
        }
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    } else {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }

    auto app = child(environment);
    quint16 port = 0;
    QByteArray errors;
    QObject::connect(app.get(), &QProcess::readyReadStandardError, [&] {
        errors += app->readAllStandardError();
        static const QRegularExpression pattern(QStringLiteral("advertising .* on port (\\d+)"));
        const auto match = pattern.match(QString::fromUtf8(errors));
        if (match.hasMatch())
            port = match.captured(1).toUShort();
    });
    app->start(options.app, {});
    std::unique_ptr<QProcess> phone;
    bool joined = false;
    if (!waitFor([&] { return port != 0; }, 15000)) {
        std::printf("| %s | the app did not start | | | |\n", label);
        end(*app);
        return;
    }
    if (which == Case::IdlePhone) {
        phone = child(environment);
        QObject::connect(phone.get(), &QProcess::readyReadStandardOutput,
                         [&] { joined = joined || phone->readAllStandardOutput().contains("accepted by"); });
        phone->start(options.phone,
                     {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                      QString::number(port), QStringLiteral("--user-id"), QStringLiteral("idle-phone")});
        if (!waitFor([&] { return joined; }, 15000)) {
            std::printf("| %s | the phone did not join | | | |\n", label);
            end(*phone);
            end(*app);
            return;
        }
    }
    if (which == Case::Hidden) {
        // Unmapped, as a window manager does on minimising; there is none on this server.
        QProcess search;
        search.setProcessEnvironment(environment);
        search.start(QStringLiteral("xdotool"),
                     {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--pid"),
                      QString::number(app->processId())});
        search.waitForFinished(15000);
        for (const QByteArray& window : search.readAllStandardOutput().split('\n')) {
            if (window.trimmed().isEmpty())
                continue;
            QProcess unmap;
            unmap.setProcessEnvironment(environment);
            unmap.start(
                QStringLiteral("xdotool"),
                {QStringLiteral("windowunmap"), QStringLiteral("--sync"), QString::fromLatin1(window.trimmed())});
            unmap.waitForFinished(5000);
        }
    }
    // Start-up work (fonts, the first paint, the TLS identity) is over by then.
    pause(3000);

    const qint64 pid = app->processId();
    const Sample before = sample(pid);
    QElapsedTimer clock;
    clock.start();
    pause(options.seconds * 1000);
    const Sample after = sample(pid);
    const double seconds = double(clock.elapsed()) / 1000.0;

    QStringList perThread;
    for (auto thread = after.threads.constBegin(); thread != after.threads.constEnd(); ++thread) {
        const qint64 earlier = before.threads.value(thread.key()).switches;
        const double rate = double(thread.value().switches - earlier) / seconds;
        if (rate >= 0.05)
            perThread << QStringLiteral("%1 %2")
                             .arg(thread.key() == pid ? QStringLiteral("main") : thread.value().name)
                             .arg(rate, 0, 'f', 1);
    }
    std::printf("| %s | %.2f | %s | %.1f |\n", label, (after.cpuMs - before.cpuMs) / seconds,
                qPrintable(perThread.join(QStringLiteral(", "))), after.residentMiB);
    std::fflush(stdout);

    if (phone)
        end(*phone);
    end(*app);
    if (xserver)
        end(*xserver);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: idle GLASSWING_BINARY GLASSWING_PHONE_BINARY [--seconds N]\n");
        return 1;
    }
    Options options;
    options.app = arguments[1];
    options.phone = arguments[2];
    const qsizetype secondsAt = arguments.indexOf(QStringLiteral("--seconds"));
    if (secondsAt > 0 && secondsAt + 1 < arguments.size())
        options.seconds = std::max(1, arguments[secondsAt + 1].toInt());

    std::printf("Idle app, %d s per case: CPU ms a second, wake-ups a second per thread (context switches; "
                "threads under 0.05/s left out), resident memory at the end.\n\n",
                options.seconds);
    std::printf("| case | CPU ms/s | wake-ups/s per thread | resident MiB |\n|---|---:|---|---:|\n");
    for (const Case which : {Case::NoPhone, Case::IdlePhone, Case::Hidden})
        runCase(options, which);
    return 0;
}
