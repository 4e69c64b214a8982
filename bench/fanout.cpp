// Fan-out benchmark: how long a frame takes from Session::sendData to the last phone holding all
// of it, for 1, 4 and 16 phones (separate glasswing-phone processes on loopback) and frames of
// 100 KiB, 1 MiB and 8 MiB. Prints the median and p99 over the measured frames, this process's
// CPU time per frame, its peak memory, and the machine's AES-GCM speed as the bound to compare
// against. A benchmark, not a test: it reports figures and judges nothing.
//
// Usage: fanout PATH_TO_GLASSWING_PHONE [FRAMES_PER_CASE]

#include "platform/peer/Advertiser.h"
#include "platform/peer/HeapTuning.h"
#include "platform/peer/Session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sys/resource.h>
#include <vector>

using namespace glasswing::peer;

namespace {

double realtimeSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double peakMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

class AcceptAll : public SessionDelegate, public AdvertiserDelegate {
public:
    explicit AcceptAll(Session& session)
        : m_session(session)
    {
    }
    std::atomic<int> connected{0};

    void sessionPeerDidChangeState(Session&, const PeerID&, SessionState state) override
    {
        if (state == SessionState::Connected)
            ++connected;
        else if (state == SessionState::NotConnected)
            --connected;
    }
    void sessionDidReceiveData(Session&, const QByteArray&, const PeerID&) override { }
    void sessionDidReceiveStream(Session&, QIODevice*, const QString&, const PeerID&) override { }
    void sessionDidStartReceivingResource(Session&, const QString&, const PeerID&, const ResourceProgress&) override { }
    void sessionDidFinishReceivingResource(Session&, const QString&, const PeerID&, const QUrl&,
                                           const std::optional<PeerError>&) override
    {
    }
    void advertiserDidReceiveInvitationFromPeer(Advertiser&, const PeerID&, const std::optional<QByteArray>&,
                                                InvitationHandler handler) override
    {
        handler(true, &m_session);
    }

private:
    Session& m_session;
};

// One phone process and the arrival time of each message it reported.
struct PhoneProcess {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QByteArray pending;
    std::vector<double> arrivals;

    void read()
    {
        pending += process->readAllStandardOutput();
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            // "message N SIZE bytes at SECONDS"
            if (line.startsWith("message "))
                arrivals.push_back(line.mid(line.lastIndexOf(' ') + 1).toDouble());
        }
    }
};

bool waitUntil(const std::function<bool()>& done, int milliseconds)
{
    // Sleep in the event loop until something happens (a phone's line, or the tick that bounds
    // the wait); a polling loop here would bill its own spinning to the peer link's CPU time.
    QElapsedTimer clock;
    clock.start();
    QTimer tick;
    tick.start(50);
    while (!done()) {
        if (clock.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void runCase(const QString& phoneBinary, int phoneCount, const std::vector<qsizetype>& sizes, int frames)
{
    PeerLimits limits;
    limits.maxOutboundQueueBytes = 256 * 1024 * 1024;
    Session session(PeerID(QStringLiteral("Bench Mac")), nullptr, EncryptionPreference::Required, limits);
    Advertiser advertiser(session.myPeerID(), nullptr, QStringLiteral("Glasswing"), limits);
    AcceptAll delegate(session);
    session.setDelegate(&delegate);
    advertiser.setDelegate(&delegate);
    advertiser.startAdvertisingPeer();

    std::vector<PhoneProcess> phones(static_cast<size_t>(phoneCount));
    for (int i = 0; i < phoneCount; ++i) {
        // One address may only have a few connections waiting to join: start the phones in
        // batches of that size.
        if (i > 0 && i % limits.maxPendingConnectionsPerAddress == 0)
            waitUntil([&] { return delegate.connected.load() == i; }, 30000);
        PhoneProcess& phone = phones[size_t(i)];
        QObject::connect(phone.process.get(), &QProcess::readyReadStandardOutput, [&phone] { phone.read(); });
        phone.process->start(phoneBinary,
                             {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                              QString::number(advertiser.port()), QStringLiteral("--user-id"),
                              QStringLiteral("bench-%1").arg(i), QStringLiteral("--name"),
                              QStringLiteral("Bench Phone %1").arg(i)});
    }
    if (!waitUntil([&] { return delegate.connected.load() == phoneCount; }, 30000)) {
        std::printf("%6d phones: only %d joined; case skipped\n", phoneCount, delegate.connected.load());
        return;
    }

    for (const qsizetype size : sizes) {
        QByteArray frame(size, Qt::Uninitialized);
        QRandomGenerator generator(42);
        generator.fillRange(reinterpret_cast<quint32*>(frame.data()), size / 4);
        std::vector<double> latencies;
        double cpu = 0;
        const int warmup = 2;
        for (int n = 0; n < warmup + frames; ++n) {
            frame[0] = char(n); // every frame different
            const size_t expected = phones[0].arrivals.size() + 1;
            const double cpuBefore = cpuSeconds();
            const double sentAt = realtimeSeconds();
            if (const auto error = session.sendData(frame, session.connectedPeers(), SendDataMode::Reliable)) {
                std::printf("send failed: %s\n", qPrintable(error->description()));
                return;
            }
            const bool arrived = waitUntil(
                [&] {
                    return std::all_of(phones.begin(), phones.end(),
                                       [&](const PhoneProcess& p) { return p.arrivals.size() >= expected; });
                },
                60000);
            if (!arrived) {
                std::printf("a frame did not arrive within 60 s; case stopped\n");
                return;
            }
            double last = 0;
            for (const PhoneProcess& phone : phones)
                last = std::max(last, phone.arrivals[expected - 1]);
            if (n >= warmup) {
                latencies.push_back((last - sentAt) * 1000.0);
                cpu += cpuSeconds() - cpuBefore;
            }
        }
        std::printf("%6d  %9s  %10.2f  %10.2f  %13.2f  %13.1f\n", phoneCount,
                    size >= 1024 * 1024 ? qPrintable(QStringLiteral("%1 MiB").arg(size / (1024 * 1024)))
                                        : qPrintable(QStringLiteral("%1 KiB").arg(size / 1024)),
                    percentile(latencies, 0.5), percentile(latencies, 0.99), cpu * 1000.0 / frames, peakMiB());
        std::fflush(stdout);
    }
    for (PhoneProcess& phone : phones) {
        phone.process->kill();
        phone.process->waitForFinished();
    }
    advertiser.setDelegate(nullptr);
    session.setDelegate(nullptr);
}

} // namespace

int main(int argc, char* argv[])
{
    // As the application does; FANOUT_DEFAULT_HEAP=1 measures glibc's defaults instead.
    if (!qEnvironmentVariableIsSet("FANOUT_DEFAULT_HEAP"))
        keepLargeBuffersInHeap();
    QCoreApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: fanout PATH_TO_GLASSWING_PHONE [FRAMES_PER_CASE]\n");
        return 1;
    }
    const QString phoneBinary = QString::fromLocal8Bit(argv[1]);
    const int frames = argc > 2 ? std::max(20, atoi(argv[2])) : 20;
    const std::vector<qsizetype> sizes = {100 * 1024, 1024 * 1024, 8 * 1024 * 1024};

    std::printf("fan-out over loopback TLS WebSockets, %d frames per case after 2 warm-up frames\n", frames);
    std::printf("phones      frame   median ms      p99 ms  CPU ms/frame  peak RSS MiB\n");
    for (const int phones : {1, 4, 16})
        runCase(phoneBinary, phones, sizes, frames);

    // The bound to compare against: how fast this machine encrypts with AES-GCM on one core.
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("speed"), QStringLiteral("-seconds"), QStringLiteral("2"), QStringLiteral("-bytes"),
                   QStringLiteral("16384"), QStringLiteral("-evp"), QStringLiteral("aes-256-gcm")});
    if (openssl.waitForFinished(60000)) {
        const QList<QByteArray> lines = openssl.readAllStandardOutput().split('\n');
        for (const QByteArray& line : lines) {
            if (line.startsWith("AES-256-GCM") || line.startsWith("aes-256-gcm"))
                std::printf("openssl speed, AES-256-GCM, 16 KiB blocks: %s (in 1000s of bytes per second)\n",
                            line.simplified().constData());
        }
    } else {
        std::printf("openssl speed did not run\n");
    }
    return 0;
}
