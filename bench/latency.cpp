// Latency benchmark: how long a preview takes from being put in place in the shared cache folder
// to the last phone holding all of it, through the real application. For 1, 4 and 16 phones
// (separate glasswing-phone processes on loopback) and previews of 100 KiB, 1 MiB and 8 MiB, in
// two ways of putting the file in place:
//
//   pickup       rename() into place, as the design tool's plug-in does: inotify wakes the app.
//   timer alone  link() into place, then unlink the temporary name: a hard link raises only
//                IN_CREATE, which the app ignores, so only its 0.1 s timer finds the file.
//
// Each case runs its own app in a fresh temporary home, so that its peak memory is the case's
// own. Prints the median and p99 over the measured frames, the app's CPU time per frame (from
// /proc/PID/stat, idle ticks between frames included) and its peak resident memory (VmHWM). A
// benchmark, not a test: it reports figures and judges nothing.
//
// The app never reaches a real Avahi daemon: its system bus address points nowhere.
//
// With --browser SCRIPT (viewer/bench/browser-phone.js, run by node), one browser phone too: the web
// viewer page in Chromium, timed from the file put in place to the page's image decoded and up, for
// PNGs of 100 KiB, 1 MiB and 4 MiB (noise, so that they are as large as said), beside one native phone
// sent the same PNGs in a case of its own; the page over its WebSocket, then over the stream it falls
// back to. Prints each, the time to the page's message (WebSocket), and the ratios.
//
// Usage: latency PATH_TO_GLASSWING PATH_TO_GLASSWING_PHONE [FRAMES_PER_CASE [ONLY_PHONES]]
//                [--browser SCRIPT [--browser-only]]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWarmupFrames = 2;
constexpr int kFrameTimeoutMs = 15000;
constexpr int kJoinTimeoutMs = 30000;
// One address may only have a few connections waiting to join: phones start in batches of this.
constexpr int kPhonesPerBatch = 4;
const char* const kNowhereBus = "unix:path=/nonexistent/glasswing-bench-bus";

// Every child still running, for the signal handler: a benchmark stopped by ^C must not leave an
// app or sixteen phones behind. A browser phone is kept negated: it is asked to end (SIGTERM), as
// only it can end its browser, which a kill would leave running.
constexpr int kMaxChildren = 64;
volatile sig_atomic_t g_children[kMaxChildren];

void rememberChild(pid_t pid, bool endsItsOwnChildren)
{
    for (auto& slot : g_children) {
        if (slot == 0) {
            slot = endsItsOwnChildren ? -pid : pid;
            return;
        }
    }
}

void forgetChild(pid_t pid)
{
    for (auto& slot : g_children) {
        if (slot == pid || slot == -pid)
            slot = 0;
    }
}

volatile sig_atomic_t g_stopped = 0;

// Ends the children at once, then lets the case wind down so that its temporary home goes too; a
// second signal ends the benchmark outright.
void stopOnSignal(int signal)
{
    for (auto& slot : g_children) {
        if (slot > 0)
            ::kill(pid_t(slot), SIGKILL);
        else if (slot < 0)
            ::kill(pid_t(-slot), SIGTERM);
    }
    g_stopped = signal;
    std::signal(signal, SIG_DFL);
}

double realtimeSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

QString sizeLabel(qsizetype size)
{
    return size >= 1024 * 1024 ? QStringLiteral("%1 MiB").arg(size / (1024 * 1024))
                               : QStringLiteral("%1 KiB").arg(size / 1024);
}

void progress(const QString& line)
{
    std::fputs(qPrintable(line + u'\n'), stderr);
    std::fflush(stderr);
}

bool waitUntil(const std::function<bool()>& done, int milliseconds)
{
    // Sleep in the event loop until something happens (a child's line, or the tick that bounds
    // the wait); spinning here would take a core from the app and the phones.
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(20);
    while (!done()) {
        if (clock.elapsed() > milliseconds || g_stopped)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void pause(int milliseconds)
{
    bool over = false;
    QTimer::singleShot(milliseconds, Qt::PreciseTimer, [&over] { over = true; });
    waitUntil([&over] { return over; }, milliseconds + 1000);
}

// A child of this benchmark: killed with it whatever way it ends, and ended when done with.
std::unique_ptr<QProcess> makeChild(const QProcessEnvironment& environment)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
    });
    return process;
}

void startChild(QProcess& process, const QString& program, const QStringList& arguments,
                bool endsItsOwnChildren = false)
{
    process.start(program, arguments);
    if (process.waitForStarted(10000))
        rememberChild(pid_t(process.processId()), endsItsOwnChildren);
}

void endChild(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    const pid_t pid = pid_t(process.processId());
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
    forgetChild(pid);
}

// Splits what a child wrote into lines.
struct LineReader {
    QByteArray pending;
    template <typename F> void feed(const QByteArray& bytes, F&& onLine)
    {
        pending += bytes;
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            onLine(line);
        }
    }
};

struct Arrival {
    qint64 size = 0; // bytes received; for a browser phone, the decoded image's pixels
    double at = 0;
    double receivedAt = 0; // a browser phone's: when the page had the message, before decoding (0: unknown)
};

struct Phone {
    std::unique_ptr<QProcess> process;
    LineReader out;
    LineReader err;
    bool accepted = false;
    std::vector<Arrival> arrivals;
    QByteArray lastError;
};

struct App {
    std::unique_ptr<QProcess> process;
    LineReader out;
    LineReader err;
    quint16 port = 0;
    quint16 webPort = 0;
    int connected = 0;
    int notConnected = 0;
    QList<QByteArray> otherLines; // anything that is not a phone coming or going
};

struct ProcStat {
    double cpuMs = 0;
    bool ok = false;
};

ProcStat appCpu(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    // The command name may hold spaces; the fields after it do not.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return {};
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    // After the name: state is field 3, so utime (14) and stime (15) are at 11 and 12 here.
    if (fields.size() < 13)
        return {};
    const double ticks = fields[11].toDouble() + fields[12].toDouble();
    return {ticks * 1000.0 / double(sysconf(_SC_CLK_TCK)), true};
}

// A memory figure of /proc/PID/status ("VmHWM", "VmRSS"), in MiB; -1 where it cannot be read.
double appMemoryMiB(pid_t pid, const QByteArray& field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

double appPeakMiB(pid_t pid)
{
    return appMemoryMiB(pid, "VmHWM");
}

// The app's resident memory now, made its peak from here on, so that the peak read later is that
// of the frames alone and not of start-up.
double resetAppPeak(pid_t pid)
{
    QFile clear(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        return -1;
    clear.close();
    return appMemoryMiB(pid, "VmRSS");
}

bool writeAll(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += n;
    }
    return ::close(fd) == 0;
}

enum class Mode { Pickup, TimerAlone };

// glasswing-phone, or the web viewer in Chromium (browser-phone.js under node) over its WebSocket or
// over the same-origin stream it falls back to.
enum class PhoneKind { Native, Browser, BrowserStream };

// A PNG of `size` bytes, give or take a few hundred: RGB noise, which does not compress, in a
// portrait of about 1:2 as a phone's screen is. Width and height come back too.
struct Png {
    QByteArray bytes;
    int width = 0;
    int height = 0;
};

quint32 crc32(const QByteArray& bytes)
{
    static const auto table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 c = 0xffffffffu;
    for (const char b : bytes)
        c = table[(c ^ quint8(b)) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

void appendChunk(QByteArray& png, const char* type, const QByteArray& data)
{
    char length[4];
    qToBigEndian(quint32(data.size()), length);
    png.append(length, 4);
    const QByteArray typed = QByteArray(type, 4) + data;
    png.append(typed);
    char crc[4];
    qToBigEndian(crc32(typed), crc);
    png.append(crc, 4);
}

Png noisePng(qsizetype size, QRandomGenerator64& random)
{
    Png png;
    // Height = 2 × width, three bytes a pixel and a filter byte a row: 6w² + 2w ≈ size.
    png.width = int(std::sqrt(double(size) / 6.0));
    png.height = int((size + 3 * png.width) / (3 * png.width + 1));
    const qsizetype row = 3 * qsizetype(png.width) + 1;
    QByteArray raw(row * png.height, Qt::Uninitialized);
    QByteArray noise((raw.size() + 7) / 8 * 8, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint64*>(noise.data()), noise.size() / 8);
    for (int y = 0; y < png.height; ++y) {
        raw[y * row] = 0; // filter: none
        std::memcpy(raw.data() + y * row + 1, noise.constData() + y * row + 1, size_t(row - 1));
    }
    char header[13];
    qToBigEndian(quint32(png.width), header);
    qToBigEndian(quint32(png.height), header + 4);
    header[8] = 8; // bits per sample
    header[9] = 2; // RGB
    header[10] = header[11] = header[12] = 0;
    png.bytes = QByteArray("\x89PNG\r\n\x1a\n", 8);
    appendChunk(png.bytes, "IHDR", QByteArray(header, 13));
    // A zlib stream is what qCompress makes after its four bytes of length; noise gains nothing
    // from a higher level.
    appendChunk(png.bytes, "IDAT", qCompress(raw, 1).mid(4));
    appendChunk(png.bytes, "IEND", {});
    return png;
}

struct CaseResult {
    double median = -1;
    double p99 = -1;
    double receivedMedian = -1; // browser phones: to the message in the page, before decoding
};

QString modeName(Mode mode)
{
    return mode == Mode::Pickup ? QStringLiteral("pickup") : QStringLiteral("timer alone");
}

struct Options {
    QString appBinary;
    QString phoneBinary;
    QString browserScript; // browser-phone.js; empty: no browser phone
    int frames = 50;
};

// One case: a fresh app, its phones, the frames, and everything ended again. Native phones in the
// main table are sent random bytes (the app does not look inside); `png` sends real PNGs, as a
// browser phone needs them. `printRow` prints the main table's row.
CaseResult runCase(const Options& options, Mode mode, int phoneCount, qsizetype size, QStringList& notes,
                   PhoneKind kind = PhoneKind::Native, bool png = false, bool printRow = true)
{
    const QString label = QStringLiteral("%1, %2 %3, %4")
                              .arg(modeName(mode))
                              .arg(phoneCount)
                              .arg(kind == PhoneKind::Native        ? QStringLiteral("phones")
                                       : kind == PhoneKind::Browser ? QStringLiteral("browser phones")
                                                                    : QStringLiteral("browser phones (stream)"))
                              .arg(sizeLabel(size))
        + (png ? QStringLiteral(" PNG") : QString());
    double idle = -1; // resident memory with the phones joined, before the first frame
    auto row = [&](const QString& median, const QString& p99, const QString& cpu, const QString& memory) {
        if (!printRow)
            return;
        // Peak above idle, and how many frames' worth that is.
        const double peak = memory.toDouble();
        const QString above = idle >= 0 && memory != QStringLiteral("-")
            ? QStringLiteral("%1 (%2×)")
                  .arg(peak - idle, 0, 'f', 1)
                  .arg((peak - idle) / (double(size) / (1024.0 * 1024.0)), 0, 'f', 1)
            : QStringLiteral("-");
        std::printf("| %s | %d | %s | %s | %s | %s | %s | %s |\n", qPrintable(modeName(mode)), phoneCount,
                    qPrintable(sizeLabel(size)), qPrintable(median), qPrintable(p99), qPrintable(cpu),
                    qPrintable(memory), qPrintable(above));
        std::fflush(stdout);
    };
    auto giveUp = [&](const QString& why) {
        if (g_stopped)
            return;
        notes << label + QStringLiteral(": ") + why;
        progress(QStringLiteral("  ") + why);
        row(QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"));
    };

    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/glasswing-latency-XXXXXX"));
    if (!home.isValid()) {
        giveUp(QStringLiteral("no temporary home"));
        return {};
    }
    const QString folder = home.path() + QStringLiteral("/.cache/com.tessaro.Preview");
    const QString config = home.path() + QStringLiteral("/.config/com.tessaro.Glasswing");
    const QString runtime = home.path() + QStringLiteral("/runtime");
    QDir().mkpath(folder);
    QDir().mkpath(config);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QStringList trusted;
    for (int i = 0; i < phoneCount; ++i)
        trusted << QStringLiteral("\"latency-%1\"").arg(i);
    {
        QFile defaults(config + QStringLiteral("/defaults.json"));
        if (!defaults.open(QIODevice::WriteOnly)
            || defaults.write(QStringLiteral("{\"Trusted Devices\":[%1]}").arg(trusted.join(u',')).toUtf8()) < 0) {
            giveUp(QStringLiteral("cannot write the trusted devices"));
            return {};
        }
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.remove(QStringLiteral("XDG_CACHE_HOME"));
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    environment.remove(QStringLiteral("XDG_DATA_HOME"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QString::fromLatin1(kNowhereBus));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromLatin1(kNowhereBus));

    App app;
    app.process = makeChild(environment);
    static const QRegularExpression portPattern(QStringLiteral(" on port (\\d+)"));
    static const QRegularExpression webPortPattern(QStringLiteral("web viewer for phones at https://[^/\\s]*:(\\d+)/"));
    QObject::connect(app.process.get(), &QProcess::readyReadStandardError, [&app] {
        app.err.feed(app.process->readAllStandardError(), [&app](const QByteArray& line) {
            const auto match = portPattern.match(QString::fromUtf8(line));
            if (match.hasMatch() && line.contains("advertising"))
                app.port = match.captured(1).toUShort();
            const auto web = webPortPattern.match(QString::fromUtf8(line));
            if (web.hasMatch())
                app.webPort = web.captured(1).toUShort();
        });
    });
    QObject::connect(app.process.get(), &QProcess::readyReadStandardOutput, [&app] {
        app.out.feed(app.process->readAllStandardOutput(), [&app](const QByteArray& line) {
            if (line.startsWith("Connected: "))
                ++app.connected;
            else if (line.startsWith("Not Connected: "))
                ++app.notConnected;
            else if (!line.startsWith("Connecting: ") && !line.startsWith("Incoming User ID: ")
                     && !line.startsWith("Allowing Incoming User ID "))
                app.otherLines << line;
        });
    });
    startChild(*app.process, options.appBinary, {});
    std::vector<Phone> phones(static_cast<size_t>(phoneCount));
    auto endAll = [&] {
        for (Phone& phone : phones) {
            if (phone.process)
                endChild(*phone.process);
        }
        endChild(*app.process);
    };
    const auto portsKnown = [&] { return app.port != 0 && (kind == PhoneKind::Native || app.webPort != 0); };
    if (!waitUntil([&] { return portsKnown() || app.process->state() == QProcess::NotRunning; }, 15000)
        || !portsKnown()) {
        endAll();
        giveUp(QStringLiteral("the app did not say its ports"));
        return {};
    }
    const pid_t appPid = pid_t(app.process->processId());

    QElapsedTimer joining;
    joining.start();
    for (int i = 0; i < phoneCount; ++i) {
        if (i > 0 && i % kPhonesPerBatch == 0)
            waitUntil([&] { return app.connected >= i; }, kJoinTimeoutMs);
        Phone& phone = phones[size_t(i)];
        phone.process = makeChild(environment);
        QObject::connect(phone.process.get(), &QProcess::readyReadStandardOutput, [&phone] {
            phone.out.feed(phone.process->readAllStandardOutput(), [&phone](const QByteArray& line) {
                // "message N SIZE bytes at SECONDS.MICROS", or from a browser phone
                // "decoded N WIDTHxHEIGHT at SECONDS.MICROS"
                if (line.startsWith("message ")) {
                    const QList<QByteArray> words = line.split(' ');
                    if (words.size() >= 6)
                        phone.arrivals.push_back({words[2].toLongLong(), words[5].toDouble()});
                } else if (line.startsWith("decoded ")) {
                    const QList<QByteArray> words = line.split(' ');
                    const QList<QByteArray> dimensions = words.size() >= 5 ? words[2].split('x') : QList<QByteArray>{};
                    if (dimensions.size() == 2)
                        phone.arrivals.push_back({dimensions[0].toLongLong() * dimensions[1].toLongLong(),
                                                  words[4].toDouble(), words.value(6).toDouble()});
                } else if (line.startsWith("accepted by ")) {
                    phone.accepted = true;
                }
            });
        });
        QObject::connect(phone.process.get(), &QProcess::readyReadStandardError, [&phone] {
            phone.err.feed(phone.process->readAllStandardError(),
                           [&phone](const QByteArray& line) { phone.lastError = line; });
        });
        if (kind != PhoneKind::Native)
            startChild(*phone.process, QStringLiteral("node"),
                       {options.browserScript, QStringLiteral("--transport"),
                        kind == PhoneKind::Browser ? QStringLiteral("websocket") : QStringLiteral("stream"),
                        QStringLiteral("--origin"), QStringLiteral("https://localhost:%1").arg(app.webPort),
                        QStringLiteral("--identity"),
                        home.path() + QStringLiteral("/.local/share/com.tessaro.Glasswing/web-identity.pem"),
                        QStringLiteral("--user-id"), QStringLiteral("latency-%1").arg(i)},
                       true);
        else
            startChild(*phone.process, options.phoneBinary,
                       {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                        QString::number(app.port), QStringLiteral("--user-id"), QStringLiteral("latency-%1").arg(i),
                        QStringLiteral("--name"), QStringLiteral("Latency Phone %1").arg(i)});
    }
    // Accepted is the phone's side; the app sends only to phones its session counts as connected.
    const bool joined = waitUntil(
        [&] {
            return app.connected >= phoneCount
                && std::all_of(phones.begin(), phones.end(), [](const Phone& p) { return p.accepted; });
        },
        kJoinTimeoutMs);
    if (!joined) {
        endAll();
        giveUp(QStringLiteral("only %1 of %2 phones joined").arg(app.connected).arg(phoneCount));
        return {};
    }
    progress(QStringLiteral("  %1 phones joined in %2 ms").arg(phoneCount).arg(joining.elapsed()));

    const QByteArray finalPath = QFile::encodeName(folder + QStringLiteral("/Preview@3x.png"));
    const QByteArray temporaryPath = QFile::encodeName(folder + QStringLiteral("/.Preview@3x.png.tmp"));
    QRandomGenerator64 random(QRandomGenerator::system()->generate64());
    QByteArray image(size, Qt::Uninitialized);

    std::vector<double> latencies;
    std::vector<double> toMessage; // browser phones: to the message in the page
    int lost = 0;
    int sizeMismatches = 0;
    int notPickedUp = 0;
    int strays = 0;
    qint64 encodedSize = -1;
    ProcStat cpuBefore;
    QString failure;
    idle = resetAppPeak(appPid);
    for (int n = 0; n < kWarmupFrames + options.frames && failure.isEmpty() && !g_stopped; ++n) {
        if (n == kWarmupFrames)
            cpuBefore = appCpu(appPid);
        qint64 expected = -1; // what a browser phone reports: the image's pixels
        if (png) {
            const Png frame = noisePng(size, random);
            image = frame.bytes;
            expected = qint64(frame.width) * frame.height;
        } else {
            random.fillRange(reinterpret_cast<quint64*>(image.data()), size / 8);
        }
        if (!writeAll(temporaryPath, image)) {
            failure = QStringLiteral("cannot write %1").arg(QString::fromLocal8Bit(temporaryPath));
            break;
        }
        // A frame the app never took would block the link.
        if (::access(finalPath.constData(), F_OK) == 0) {
            ++notPickedUp;
            ::unlink(finalPath.constData());
        }
        std::vector<size_t> before;
        for (const Phone& phone : phones)
            before.push_back(phone.arrivals.size());

        // Read just before the file is put in place: read after, it could come later than the frame
        // (this process preempted in between on a busy machine), which would then count as a stray.
        const double placedAt = realtimeSeconds();
        if (mode == Mode::Pickup) {
            if (::rename(temporaryPath.constData(), finalPath.constData()) != 0) {
                failure = QStringLiteral("rename failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
                break;
            }
        } else {
            if (::link(temporaryPath.constData(), finalPath.constData()) != 0) {
                failure = QStringLiteral("link failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
                break;
            }
            ::unlink(temporaryPath.constData());
        }

        // A phone's first message received after the placement is this frame; one from before it
        // is a late or repeated earlier frame, counted and skipped.
        std::vector<std::optional<size_t>> received(phones.size());
        const bool arrived = waitUntil(
            [&] {
                bool all = true;
                for (size_t i = 0; i < phones.size(); ++i) {
                    const std::vector<Arrival>& arrivals = phones[i].arrivals;
                    while (!received[i] && before[i] < arrivals.size()) {
                        if (arrivals[before[i]].at >= placedAt)
                            received[i] = before[i];
                        else
                            ++strays, ++before[i];
                    }
                    all = all && received[i].has_value();
                }
                return all;
            },
            kFrameTimeoutMs);
        const auto gone = std::find_if(phones.begin(), phones.end(),
                                       [](const Phone& p) { return p.process->state() == QProcess::NotRunning; });
        if (gone != phones.end()) {
            failure = QStringLiteral("phone %1 left: %2")
                          .arg(gone - phones.begin())
                          .arg(QString::fromUtf8(gone->lastError));
            break;
        }
        if (app.process->state() == QProcess::NotRunning) {
            failure = QStringLiteral("the app ended (exit code %1)").arg(app.process->exitCode());
            break;
        }
        if (g_stopped)
            break;
        if (!arrived) {
            ++lost;
            progress(
                QStringLiteral("  frame %1 did not reach every phone within %2 s").arg(n).arg(kFrameTimeoutMs / 1000));
            if (lost >= 3)
                failure = QStringLiteral("three frames lost");
            continue;
        }

        double last = 0;
        for (size_t i = 0; i < phones.size(); ++i) {
            const Arrival& arrival = phones[i].arrivals[*received[i]];
            last = std::max(last, arrival.at);
            if (kind != PhoneKind::Native) {
                if (arrival.size != expected)
                    ++sizeMismatches;
                if (n >= kWarmupFrames && arrival.receivedAt >= placedAt)
                    toMessage.push_back((arrival.receivedAt - placedAt) * 1000.0);
                continue;
            }
            if (encodedSize < 0)
                encodedSize = arrival.size;
            if (arrival.size != encodedSize || arrival.size <= image.size())
                ++sizeMismatches;
        }
        if (n >= kWarmupFrames)
            latencies.push_back((last - placedAt) * 1000.0);

        // Sporadic edits, as a designer makes them: the next frame comes at least 0.1 s after this
        // one was read, so the app's ten-reads-a-second bound never holds it, and at a random
        // phase of the app's timer.
        pause(100 + int(random.bounded(101)));
    }
    const ProcStat cpuAfter = appCpu(appPid);
    const double peak = appPeakMiB(appPid);

    // Phones ended below leave too; only those that left before are news.
    const int dropped = app.notConnected;
    const bool uneven = std::any_of(phones.begin(), phones.end(), [&](const Phone& p) {
        return p.arrivals.size() != phones.front().arrivals.size();
    });
    endAll();
    ::unlink(temporaryPath.constData());
    if (g_stopped)
        return {};

    if (!failure.isEmpty())
        notes << label + QStringLiteral(": stopped early, ") + failure;
    if (lost > 0)
        notes << label + QStringLiteral(": %1 frames lost").arg(lost);
    if (notPickedUp > 0)
        notes << label + QStringLiteral(": %1 frames still in the folder at the next frame").arg(notPickedUp);
    if (sizeMismatches > 0)
        notes << label
                + QStringLiteral(": %1 receipts of a size other than %2 bytes").arg(sizeMismatches).arg(encodedSize);
    if (uneven)
        notes << label + QStringLiteral(": phones received different numbers of messages");
    if (strays > 0)
        notes << label + QStringLiteral(": %1 receipts from before their frame was put in place").arg(strays);
    if (dropped > 0)
        notes << label + QStringLiteral(": %1 phones dropped during the frames").arg(dropped);
    for (const QByteArray& line : std::as_const(app.otherLines))
        notes << label + QStringLiteral(": app said \"%1\"").arg(QString::fromUtf8(line));

    if (latencies.empty()) {
        progress(QStringLiteral("  no frame measured"));
        row(QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("-"),
            peak >= 0 ? QString::number(peak, 'f', 1) : QStringLiteral("-"));
        return {};
    }
    const double median = percentile(latencies, 0.5);
    const double p99 = percentile(latencies, 0.99);
    const QString cpu = cpuBefore.ok && cpuAfter.ok
        ? QString::number((cpuAfter.cpuMs - cpuBefore.cpuMs) / double(latencies.size()), 'f', 2)
        : QStringLiteral("-");
    progress(QStringLiteral("  %1 frames of %2 bytes each: min %3 ms, median %4 ms, max %5 ms")
                 .arg(latencies.size())
                 .arg(encodedSize >= 0 ? encodedSize : qint64(image.size()))
                 .arg(*std::min_element(latencies.begin(), latencies.end()), 0, 'f', 2)
                 .arg(median, 0, 'f', 2)
                 .arg(*std::max_element(latencies.begin(), latencies.end()), 0, 'f', 2));
    row(QString::number(median, 'f', 2), QString::number(p99, 'f', 2), cpu,
        peak >= 0 ? QString::number(peak, 'f', 1) : QStringLiteral("-"));
    const double toMessageMedian = toMessage.empty() ? -1 : percentile(toMessage, 0.5);
    if (toMessageMedian >= 0)
        progress(QStringLiteral("  in the page: the message after a median of %1 ms, decoded %2 ms later")
                     .arg(toMessageMedian, 0, 'f', 2)
                     .arg(median - toMessageMedian, 0, 'f', 2));
    return {median, p99, toMessageMedian};
}

} // namespace

int main(int argc, char* argv[])
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        std::signal(signal, stopOnSignal);
    // Children's standard input and output are pipes read here; one that goes away must not end
    // the benchmark before it has ended its children.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication application(argc, argv);
    QStringList positional;
    Options options;
    bool browserOnly = false;
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument == QStringLiteral("--browser") && i + 1 < argc)
            options.browserScript = QString::fromLocal8Bit(argv[++i]);
        else if (argument == QStringLiteral("--browser-only"))
            browserOnly = true;
        else
            positional << argument;
    }
    if (positional.size() < 2 || (browserOnly && options.browserScript.isEmpty())) {
        std::fprintf(stderr,
                     "usage: latency PATH_TO_GLASSWING PATH_TO_GLASSWING_PHONE [FRAMES_PER_CASE [ONLY_PHONES]]"
                     " [--browser viewer/bench/browser-phone.js [--browser-only]]\n");
        return 1;
    }
    options.appBinary = positional[0];
    options.phoneBinary = positional[1];
    if (positional.size() > 2)
        options.frames = std::max(1, positional[2].toInt());
    // Only the cases with this many phones, and only with the pickup: a quicker look.
    const int onlyPhones = positional.size() > 3 ? positional[3].toInt() : 0;

    QElapsedTimer wall;
    wall.start();
    if (!browserOnly) {
        std::printf(
            "Preview latency, from the file put in place to the last phone holding the frame, through the app "
            "over loopback; %d frames per case after %d warm-up frames, 100-200 ms after the last one arrived.\n\n",
            options.frames, kWarmupFrames);
        std::printf(
            "| mode | phones | size | median ms | p99 ms | app CPU ms per frame | app peak memory MiB | peak above "
            "idle MiB "
            "(× frame) |\n");
        std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
        std::fflush(stdout);
    }

    QStringList notes;
    for (const Mode mode : {Mode::Pickup, Mode::TimerAlone}) {
        if (browserOnly)
            break;
        for (const int phones : {1, 4, 16}) {
            if (onlyPhones > 0 && (phones != onlyPhones || mode != Mode::Pickup))
                continue;
            for (const qsizetype size : {qsizetype(100 * 1024), qsizetype(1024 * 1024), qsizetype(8 * 1024 * 1024)}) {
                if (g_stopped)
                    break;
                progress(QStringLiteral("%1, %2 phones, %3 (%4 s in)")
                             .arg(modeName(mode))
                             .arg(phones)
                             .arg(sizeLabel(size))
                             .arg(wall.elapsed() / 1000));
                runCase(options, mode, phones, size, notes);
            }
        }
    }

    // A browser phone beside a native one: each alone with its app, sent the same kind of PNGs; the
    // browser over its WebSocket, then over the stream.
    struct Comparison {
        qsizetype size;
        CaseResult native;
        CaseResult browser;
        CaseResult browserStream;
    };
    std::vector<Comparison> comparisons;
    if (!options.browserScript.isEmpty()) {
        for (const qsizetype size : {qsizetype(100 * 1024), qsizetype(1024 * 1024), qsizetype(4 * 1024 * 1024)}) {
            Comparison comparison{size, {}, {}, {}};
            for (const PhoneKind kind : {PhoneKind::Native, PhoneKind::Browser, PhoneKind::BrowserStream}) {
                if (g_stopped)
                    break;
                progress(QStringLiteral("pickup, 1 %1 phone, %2 PNG (%3 s in)")
                             .arg(kind == PhoneKind::Native        ? QStringLiteral("native")
                                      : kind == PhoneKind::Browser ? QStringLiteral("browser (WebSocket)")
                                                                   : QStringLiteral("browser (stream)"))
                             .arg(sizeLabel(size))
                             .arg(wall.elapsed() / 1000));
                const CaseResult result = runCase(options, Mode::Pickup, 1, size, notes, kind, true, false);
                (kind == PhoneKind::Native        ? comparison.native
                     : kind == PhoneKind::Browser ? comparison.browser
                                                  : comparison.browserStream)
                    = result;
            }
            comparisons.push_back(comparison);
        }
    }

    if (g_stopped) {
        progress(QStringLiteral("stopped by signal %1").arg(int(g_stopped)));
        return 128 + int(g_stopped);
    }
    if (!comparisons.empty()) {
        const auto figure = [](double ms) { return ms >= 0 ? QString::number(ms, 'f', 2) : QStringLiteral("-"); };
        const auto ratio = [](double browser, double native) {
            return browser >= 0 && native > 0 ? QString::number(browser / native, 'f', 1) + u'×' : QStringLiteral("-");
        };
        std::printf("\nBrowser phone (the web viewer in headless Chromium, to the page's image decoded) against a "
                    "native phone (to the frame received), one phone per app, noise PNGs put in place by rename.\n\n");
        std::printf("| PNG | browser over | native median ms | native p99 ms | browser median ms | browser p99 ms | "
                    "of which to the page's message (median) | browser ÷ native (median) | (p99) |\n");
        std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|\n");
        for (const Comparison& c : comparisons) {
            for (const auto& [transport, browser] :
                 {std::pair{"WebSocket", c.browser}, std::pair{"stream", c.browserStream}}) {
                std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", qPrintable(sizeLabel(c.size)),
                            transport, qPrintable(figure(c.native.median)), qPrintable(figure(c.native.p99)),
                            qPrintable(figure(browser.median)), qPrintable(figure(browser.p99)),
                            qPrintable(figure(browser.receivedMedian)),
                            qPrintable(ratio(browser.median, c.native.median)),
                            qPrintable(ratio(browser.p99, c.native.p99)));
            }
        }
        std::fflush(stdout);
    }
    std::printf("\n");
    for (const QString& note : std::as_const(notes))
        std::printf("- %s\n", qPrintable(note));
    std::printf("%sWhole run: %.1f s\n", notes.isEmpty() ? "" : "\n", double(wall.elapsed()) / 1000.0);
    return 0;
}
