#pragma once

// What the peer-link benchmarks share: clocks, memory figures, a Mac side that lets every phone
// in, and reference phone processes whose lines are read as they come.

#include "platform/peer/Advertiser.h"
#include "platform/peer/Session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <functional>
#include <memory>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace glasswing::bench {

inline constexpr const char* kNowhereBus = "unix:path=/nonexistent/glasswing-bench-bus";

inline double realtimeSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// This process's peak resident memory so far.
inline double peakMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// This process's resident memory now.
inline double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? double(fields[1].toLongLong() * sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

// p in [0, 1]; `values` must not be empty.
inline double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

// In a child, before it runs its program: a benchmark that dies must not leave phones behind.
inline void dieWithParent()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

// Sleeps in the event loop until `done` (a phone's line, or the tick that bounds the wait); a
// polling loop here would bill its own spinning to the peer link's CPU time.
inline bool waitUntil(const std::function<bool()>& done, int milliseconds)
{
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

// A Mac side that accepts every invitation into `session`.
class AcceptAll : public peer::SessionDelegate, public peer::AdvertiserDelegate {
public:
    explicit AcceptAll(peer::Session& session)
        : m_session(session)
    {
    }
    std::atomic<int> connected{0};

    void sessionPeerDidChangeState(peer::Session&, const peer::PeerID&, peer::SessionState state) override
    {
        if (state == peer::SessionState::Connected)
            ++connected;
        else if (state == peer::SessionState::NotConnected)
            --connected;
    }
    void sessionDidReceiveData(peer::Session&, const QByteArray&, const peer::PeerID&) override { }
    void sessionDidReceiveStream(peer::Session&, QIODevice*, const QString&, const peer::PeerID&) override { }
    void sessionDidStartReceivingResource(peer::Session&, const QString&, const peer::PeerID&,
                                          const peer::ResourceProgress&) override
    {
    }
    void sessionDidFinishReceivingResource(peer::Session&, const QString&, const peer::PeerID&, const QUrl&,
                                           const std::optional<peer::PeerError>&) override
    {
    }
    void advertiserDidReceiveInvitationFromPeer(peer::Advertiser&, const peer::PeerID&,
                                                const std::optional<QByteArray>&,
                                                peer::InvitationHandler handler) override
    {
        handler(true, &m_session);
    }

private:
    peer::Session& m_session;
};

// One reference phone process, with the size and arrival time of each message it reported.
struct PhoneProcess {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QByteArray pending;
    std::vector<qsizetype> sizes;
    std::vector<double> arrivals;

    void start(const QString& program, const QStringList& arguments)
    {
        QObject::connect(process.get(), &QProcess::readyReadStandardOutput, [this] { read(); });
        process->setChildProcessModifier([] { dieWithParent(); });
        process->start(program, arguments);
    }

    void read()
    {
        pending += process->readAllStandardOutput();
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            // "message N SIZE bytes at SECONDS"
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() == 6 && fields[0] == "message") {
                sizes.push_back(fields[2].toLongLong());
                arrivals.push_back(fields[5].toDouble());
            }
        }
    }

    void stop()
    {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
};

} // namespace glasswing::bench
