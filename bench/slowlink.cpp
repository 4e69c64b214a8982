// Slow-link benchmark: phones on a link slower than the previews, as on Wi-Fi. The benchmark makes
// its own network namespaces: the Mac side in one, the phones (real glasswing-phone processes) in
// another, joined by a veth pair whose Mac end is shaped with a token bucket (tc tbf) to 20, 100
// and 300 Mbit/s. A session sends 10 frames a second of 1 MiB or 4 MiB for 20 s to 1 or 4 phones,
// once queueing every frame (the old policy) and once newest-wins. It reports, over every phone:
//
//   age      when each frame arrived, counted from its send: median, p99 and max
//   skipped  frames a phone never received, per phone (on average)
//   last     whether the last frame sent reached every phone, and how long after its send
//   peak     the sending process's peak resident memory over the first half of the sending and
//            over the whole run with its drain: newest-wins holds the same whatever the length
//   dropped  phones the Mac cut off (a phone that cannot take its queue within the keepalive)
//
// Frames carry their index in their size (base size + index), so that a phone's line names the
// frame without its bytes being looked at. Each case runs in a process of its own, so that its
// memory is its own. A benchmark, not a test: it reports figures and judges nothing. Traffic stays
// inside the namespaces; nothing reaches a real interface or a real Avahi daemon.
//
// Usage: slowlink PATH_TO_GLASSWING_PHONE [--seconds N] [--rates 20,100,300] [--sizes 1,4]
//                 [--phones 1,4] [--policies old,new]
// Needs root, or unprivileged user namespaces, and tc and ip (iproute2).

#include "bench/BenchSupport.h"
#include "platform/peer/Advertiser.h"
#include "platform/peer/HeapTuning.h"
#include "platform/peer/Session.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

using namespace glasswing::peer;
using namespace glasswing::bench;

namespace {

const QString kMacAddress = QStringLiteral("10.99.0.1");
const QString kPhoneAddress = QStringLiteral("10.99.0.2");
constexpr int kFramesPerSecond = 10;

struct Case {
    SendPolicy policy;
    int megabits;
    int mebibytes;
    int phones;
    int seconds;
};

// Into a network namespace of our own, as root or as root of a user namespace of our own. Before
// any thread starts: a namespace change applies to the calling thread only.
bool enterOwnNetworkNamespace()
{
    if (::unshare(CLONE_NEWNET) == 0)
        return true;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    const auto write = [](const char* path, const QByteArray& text) {
        QFile file(QString::fromLatin1(path));
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    return write("/proc/self/setgroups", "deny") && write("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1")
        && write("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1");
}

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "slowlink: %s %s failed\n", qPrintable(program), qPrintable(arguments.join(u' ')));
        return false;
    }
    return true;
}

// The phones' namespace: a process that only holds it, and the shaped link to it.
struct Link {
    QProcess holder;
    QString phoneNamespace;

    bool setUp()
    {
        holder.setChildProcessModifier([] { dieWithParent(); });
        holder.start(QStringLiteral("unshare"), {QStringLiteral("--net"), QStringLiteral("sleep"),
                                                 QStringLiteral("infinity")});
        if (!holder.waitForStarted())
            return false;
        phoneNamespace = QStringLiteral("/proc/%1/ns/net").arg(holder.processId());
        // The namespace exists once unshare has become sleep.
        for (int i = 0; i < 100; ++i) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(holder.processId()));
            if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("sleep"))
                break;
            QThread::msleep(10);
        }
        const QString inPhones = QStringLiteral("--net=") + phoneNamespace;
        const QString ip = QStringLiteral("ip");
        const QString nsenter = QStringLiteral("nsenter");
        return run(ip, {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")})
            && run(ip, QStringLiteral("link add mac0 type veth peer name phone0 netns %1")
                           .arg(holder.processId())
                           .split(u' '))
            && run(ip, QStringLiteral("addr add %1/24 dev mac0").arg(kMacAddress).split(u' '))
            && run(ip, QStringLiteral("link set mac0 up").split(u' '))
            && run(nsenter, QStringList{inPhones, ip}
                                + QStringLiteral("addr add %1/24 dev phone0").arg(kPhoneAddress).split(u' '))
            && run(nsenter, QStringList{inPhones, ip} + QStringLiteral("link set phone0 up").split(u' '))
            && run(nsenter, QStringList{inPhones, ip} + QStringLiteral("link set lo up").split(u' '));
    }

    // A token bucket on the Mac's side only: frames are slowed, the phones' acknowledgements not.
    // Its queue holds 20 ms at the rate, as a Wi-Fi access point's might.
    static bool shape(int megabits)
    {
        return run(QStringLiteral("tc"), QStringLiteral("qdisc replace dev mac0 root tbf rate %1mbit burst 64kb "
                                                        "latency 20ms")
                                             .arg(megabits)
                                             .split(u' '));
    }

    ~Link()
    {
        if (holder.state() != QProcess::NotRunning) {
            holder.kill();
            holder.waitForFinished();
        }
    }
};

struct Result {
    std::vector<double> ages; // ms, every arrival at every phone
    double skippedPerPhone = 0;
    int lastArrived = 0; // phones
    double lastAgeMs = -1; // the last frame's latest arrival
    double peakFirstHalfMiB = 0;
    double peakMiB = 0;
    int dropped = 0;
    int phones = 0;
};

// Runs one case in this process, which is already in the Mac's namespace, and prints one line of
// figures for the parent to read.
int runCase(const QString& phoneBinary, const QString& phoneNamespace, const Case& c)
{
    PeerLimits limits;
    Session session(PeerID(QStringLiteral("Bench Mac")), nullptr, EncryptionPreference::Required, limits, c.policy);
    Advertiser advertiser(session.myPeerID(), nullptr, QStringLiteral("Glasswing"), limits);
    AcceptAll delegate(session);
    session.setDelegate(&delegate);
    advertiser.setDelegate(&delegate);
    if (!advertiser.startAdvertisingPeer()) {
        std::fprintf(stderr, "slowlink: cannot listen\n");
        return 1;
    }

    std::vector<PhoneProcess> phones(static_cast<size_t>(c.phones));
    for (int i = 0; i < c.phones; ++i) {
        PhoneProcess& phone = phones[size_t(i)];
        phone.start(QStringLiteral("nsenter"),
                    {QStringLiteral("--net=") + phoneNamespace, phoneBinary, QStringLiteral("--host"), kMacAddress,
                     QStringLiteral("--port"), QString::number(advertiser.port()), QStringLiteral("--user-id"),
                     QStringLiteral("bench-%1").arg(i), QStringLiteral("--name"), QStringLiteral("Phone %1").arg(i)});
    }
    if (!waitUntil([&] { return delegate.connected.load() == c.phones; }, 30000)) {
        std::fprintf(stderr, "slowlink: only %d of %d phones joined\n", delegate.connected.load(), c.phones);
        return 1;
    }
    const QList<PeerID> peers = session.connectedPeers();

    const qsizetype base = qsizetype(c.mebibytes) * 1024 * 1024;
    const int frames = c.seconds * kFramesPerSecond;
    QByteArray bytes(base + frames, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    std::vector<double> sentAt(size_t(frames), 0);
    // Per phone, the last frame the session took for it: under the old policy a full queue refuses
    // frames, and all it took arrive, however late.
    std::vector<int> lastTaken(size_t(c.phones), -1);

    Result result;
    result.phones = c.phones;
    int next = 0;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pace, &QTimer::timeout, [&] {
        if (next >= frames)
            return;
        const int index = next++;
        sentAt[size_t(index)] = realtimeSeconds();
        const std::optional<PeerError> error
            = session.sendData(QByteArray(bytes.constData(), base + index), peers, SendDataMode::Reliable);
        for (int p = 0; p < c.phones; ++p) {
            const QString name = peers[p].displayName();
            if (!error || !(error->description().contains(name + u',') || error->description().contains(name + u'.')))
                lastTaken[size_t(p)] = index;
        }
        result.peakMiB = std::max(result.peakMiB, residentMiB());
        if (index < frames / 2)
            result.peakFirstHalfMiB = result.peakMiB;
    });
    pace.start(1000 / kFramesPerSecond);
    waitUntil([&] { return next >= frames; }, (c.seconds + 5) * 1000);
    pace.stop();

    // Then until every phone has the last frame taken for it, or has been cut off.
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] { result.peakMiB = std::max(result.peakMiB, residentMiB()); });
    sample.start(100);
    const auto hasLast = [&](const PhoneProcess& phone) {
        return !phone.sizes.empty() && phone.sizes.back() == base + frames - 1;
    };
    waitUntil(
        [&] {
            for (int p = 0; p < c.phones; ++p) {
                const PhoneProcess& phone = phones[size_t(p)];
                const bool done = !phone.sizes.empty() && phone.sizes.back() >= base + lastTaken[size_t(p)];
                if (lastTaken[size_t(p)] >= 0 && !done && phone.process->state() == QProcess::Running)
                    return false;
            }
            return true;
        },
        300000);

    double skipped = 0;
    for (const PhoneProcess& phone : phones) {
        for (size_t m = 0; m < phone.sizes.size(); ++m) {
            const qsizetype index = phone.sizes[m] - base;
            if (index >= 0 && index < frames)
                result.ages.push_back((phone.arrivals[m] - sentAt[size_t(index)]) * 1000.0);
        }
        skipped += double(frames) - double(phone.sizes.size());
        if (hasLast(phone)) {
            ++result.lastArrived;
            result.lastAgeMs = std::max(result.lastAgeMs, (phone.arrivals.back() - sentAt.back()) * 1000.0);
        }
        if (phone.process->state() != QProcess::Running)
            ++result.dropped;
    }
    result.skippedPerPhone = skipped / c.phones;

    std::printf("result %zu %.1f %.1f %.1f %.1f %d %.0f %.1f %.1f %d\n", result.ages.size(),
                result.ages.empty() ? 0.0 : percentile(result.ages, 0.5),
                result.ages.empty() ? 0.0 : percentile(result.ages, 0.99),
                result.ages.empty() ? 0.0 : percentile(result.ages, 1.0), result.skippedPerPhone, result.lastArrived,
                result.lastAgeMs, result.peakFirstHalfMiB, result.peakMiB, result.dropped);
    std::fflush(stdout);
    for (PhoneProcess& phone : phones)
        phone.stop();
    advertiser.setDelegate(nullptr);
    session.setDelegate(nullptr);
    return 0;
}

QList<int> numbers(const QString& list)
{
    QList<int> values;
    for (const QString& item : list.split(u',', Qt::SkipEmptyParts))
        values << item.toInt();
    return values;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", kNowhereBus);
    const QStringList arguments = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list << QString::fromLocal8Bit(argv[i]);
        return list;
    }();

    // A case, run by the benchmark itself in a process of its own.
    if (arguments.size() == 8 && arguments[0] == QStringLiteral("--case")) {
        keepLargeBuffersInHeap(); // as the application does
        QCoreApplication application(argc, argv);
        QLoggingCategory::setFilterRules(QStringLiteral("glasswing.*.info=false\nglasswing.*.debug=false"));
        const Case c{arguments[3] == QStringLiteral("new") ? SendPolicy::NewestWins : SendPolicy::QueueEvery,
                     arguments[4].toInt(), arguments[5].toInt(), arguments[6].toInt(), arguments[7].toInt()};
        return runCase(arguments[1], arguments[2], c);
    }

    if (arguments.isEmpty() || arguments[0].startsWith(u'-')) {
        std::fprintf(stderr, "usage: slowlink PATH_TO_GLASSWING_PHONE [--seconds N] [--rates 20,100,300] "
                             "[--sizes 1,4] [--phones 1,4] [--policies old,new]\n");
        return 1;
    }
    if (!enterOwnNetworkNamespace()) {
        std::perror("slowlink: cannot make a network namespace");
        return 1;
    }
    QCoreApplication application(argc, argv);
    const QString phoneBinary = arguments[0];
    int seconds = 20;
    QList<int> rates{20, 100, 300};
    QList<int> sizes{1, 4};
    QList<int> phoneCounts{1, 4};
    QStringList policies{QStringLiteral("old"), QStringLiteral("new")};
    for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
        const QString& option = arguments[i];
        const QString& value = arguments[i + 1];
        if (option == QStringLiteral("--seconds"))
            seconds = std::max(2, value.toInt());
        else if (option == QStringLiteral("--rates"))
            rates = numbers(value);
        else if (option == QStringLiteral("--sizes"))
            sizes = numbers(value);
        else if (option == QStringLiteral("--phones"))
            phoneCounts = numbers(value);
        else if (option == QStringLiteral("--policies"))
            policies = value.split(u',');
    }

    Link link;
    if (!link.setUp())
        return 1;
    std::printf("%d frames a second for %d s over a veth link shaped by tc tbf; ages in ms, memory in MiB\n",
                kFramesPerSecond, seconds);
    std::printf("Mbit/s  frame  phones  policy      arrived  median     p99     max  skipped/phone  last "
                "frame (age ms)  peak 1st half  peak  dropped\n");
    std::fflush(stdout);
    for (const int rate : rates) {
        if (!Link::shape(rate))
            return 1;
        for (const int size : sizes) {
            for (const int phones : phoneCounts) {
                for (const QString& policy : policies) {
                    QProcess child;
                    child.setChildProcessModifier([] { dieWithParent(); });
                    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
                    child.start(QCoreApplication::applicationFilePath(),
                                {QStringLiteral("--case"), phoneBinary, link.phoneNamespace, policy,
                                 QString::number(rate), QString::number(size), QString::number(phones),
                                 QString::number(seconds)});
                    child.waitForFinished(-1);
                    QByteArray line;
                    for (const QByteArray& output : child.readAllStandardOutput().split('\n'))
                        line = output.startsWith("result ") ? output : line;
                    const QList<QByteArray> f = line.split(' ');
                    if (f.size() != 11) {
                        std::printf("%6d  %3d MiB  %6d  %-10s  case failed\n", rate, size, phones, qPrintable(policy));
                        continue;
                    }
                    const QString last = f[6].toInt() == phones
                        ? QStringLiteral("yes (%1)").arg(f[7].toDouble(), 0, 'f', 0)
                        : QStringLiteral("%1 of %2").arg(f[6].toInt()).arg(phones);
                    std::printf("%6d  %3d MiB  %6d  %-10s  %7d  %6.0f  %6.0f  %6.0f  %13.1f  %-20s  %13.0f  %4.0f  %7d\n",
                                rate, size, phones,
                                policy == QStringLiteral("new") ? "newest" : "queue all", f[1].toInt(),
                                f[2].toDouble(), f[3].toDouble(), f[4].toDouble(), f[5].toDouble(), qPrintable(last),
                                f[8].toDouble(), f[9].toDouble(), f[10].toInt());
                    std::fflush(stdout);
                }
            }
        }
    }
    return 0;
}
