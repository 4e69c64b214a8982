#pragma once

#include "platform/peer/Advertiser.h"
#include "platform/peer/Session.h"

#include <QFile>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <QTest>

#include <mutex>
#include <sys/resource.h>
#include <unistd.h>

namespace glasswing::test {

constexpr int kWait = 10000;

// Short times so that time-outs are seen within a test; sizes as shipped.
inline peer::PeerLimits quickLimits()
{
    peer::PeerLimits limits;
    limits.tlsHandshakeTimeout = std::chrono::milliseconds(1500);
    limits.upgradeTimeout = std::chrono::milliseconds(1500);
    limits.invitationTimeout = std::chrono::milliseconds(1500);
    limits.joinTimeout = std::chrono::milliseconds(1500);
    limits.keepaliveInterval = std::chrono::milliseconds(200);
    limits.keepaliveTimeout = std::chrono::milliseconds(1200);
    return limits;
}

// One event a delegate heard, in a form tests can compare.
struct PeerEvent {
    QString what; // "invited", "connecting", "connected", "not connected", "data"
    QString name;
    std::optional<QByteArray> context;
    peer::PeerID peer;
};

// A Mac side for tests: an advertiser and a session on loopback, advertising from the start, with
// a delegate that records every event (from the network thread) and answers invitations by a
// policy. Should advertising fail, the port is 0 and no phone can reach it.
class PeerHarness : public peer::SessionDelegate, public peer::AdvertiserDelegate {
public:
    enum class Answer { Accept, Decline, Hold };

    explicit PeerHarness(const peer::PeerLimits& limits = quickLimits(), Answer policy = Answer::Accept,
                         peer::SendPolicy sending = peer::SendPolicy::QueueEvery)
        : answer(policy)
        , session(peer::PeerID(QStringLiteral("Test Mac")), nullptr, peer::EncryptionPreference::Required, limits,
                  sending)
        , advertiser(session.myPeerID(), nullptr, QStringLiteral("Glasswing"), limits)
    {
        session.setDelegate(this);
        advertiser.setDelegate(this);
        advertiser.startAdvertisingPeer();
    }
    ~PeerHarness() override
    {
        advertiser.setDelegate(nullptr);
        session.setDelegate(nullptr);
    }

    QList<PeerEvent> events() const
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        return m_events;
    }
    QStringList eventLines() const
    {
        QStringList lines;
        for (const PeerEvent& event : events())
            lines << event.what + QStringLiteral(": ") + event.name;
        return lines;
    }
    int count(const QString& what) const
    {
        int n = 0;
        for (const PeerEvent& event : events())
            n += event.what == what ? 1 : 0;
        return n;
    }
    QList<peer::InvitationHandler> heldHandlers() const
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        return m_held;
    }

    std::atomic<Answer> answer;
    peer::Session session;
    peer::Advertiser advertiser;

    void sessionPeerDidChangeState(peer::Session&, const peer::PeerID& peer, peer::SessionState state) override
    {
        static const char* names[] = {"not connected", "connecting", "connected"};
        record({QString::fromLatin1(names[int(state)]), peer.displayName(), std::nullopt, peer});
    }
    void sessionDidReceiveData(peer::Session&, const QByteArray& data, const peer::PeerID& peer) override
    {
        record({QStringLiteral("data"), peer.displayName(), data, peer});
    }
    void sessionDidReceiveStream(peer::Session&, QIODevice*, const QString&, const peer::PeerID&) override { }
    void sessionDidStartReceivingResource(peer::Session&, const QString&, const peer::PeerID&,
                                          const peer::ResourceProgress&) override
    {
    }
    void sessionDidFinishReceivingResource(peer::Session&, const QString&, const peer::PeerID&, const QUrl&,
                                           const std::optional<peer::PeerError>&) override
    {
    }
    void advertiserDidReceiveInvitationFromPeer(peer::Advertiser&, const peer::PeerID& peer,
                                                const std::optional<QByteArray>& context,
                                                peer::InvitationHandler handler) override
    {
        record({QStringLiteral("invited"), peer.displayName(), context, peer});
        switch (answer.load()) {
        case Answer::Accept:
            handler(true, &session);
            break;
        case Answer::Decline:
            handler(false, nullptr);
            break;
        case Answer::Hold: {
            const std::lock_guard<std::mutex> guard(m_lock);
            m_held.append(handler);
            break;
        }
        }
    }

private:
    void record(PeerEvent event)
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_events.append(std::move(event));
    }

    mutable std::mutex m_lock;
    QList<PeerEvent> m_events;
    QList<peer::InvitationHandler> m_held;
};

// A reference phone process on loopback.
class Phone : public QProcess {
public:
    Phone(quint16 port, const QStringList& arguments)
    {
        setProgram(QStringLiteral(GLASSWING_PHONE_BINARY));
        setArguments(QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                 QString::number(port)}
                     + arguments);
        start();
    }
    ~Phone() override
    {
        if (state() != NotRunning) {
            kill();
            waitForFinished(5000);
        }
    }
    // Unlike waitForFinished, true also when the phone had already ended.
    bool waitForExit(int milliseconds = 10000) { return state() == NotRunning || waitForFinished(milliseconds); }
    // Reads what the phone has printed so far, keeping it.
    QByteArray output()
    {
        m_output += readAllStandardOutput();
        return m_output;
    }
    int messages() { return int(output().count("\nmessage ") + (output().startsWith("message ") ? 1 : 0)); }

private:
    QByteArray m_output;
};

inline QStringList phoneArguments(const QString& name, const QString& userId)
{
    return {QStringLiteral("--name"), name, QStringLiteral("--user-id"), userId};
}

// This process's peak resident memory so far.
inline long peakMemoryKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// This process's resident memory now.
inline long residentMemoryKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

// Proves that the Mac still serves: a new phone is let in, joins, receives one frame and leaves. Reports
// through the test macros; the caller's test fails with it.
inline void aPhoneCanStillJoin(PeerHarness& mac)
{
    mac.answer = PeerHarness::Answer::Accept;
    const int connectedBefore = mac.count(QStringLiteral("connected"));
    Phone phone(mac.advertiser.port(),
                phoneArguments(QStringLiteral("Witness"), QStringLiteral("w"))
                    + QStringList{QStringLiteral("--count"), QStringLiteral("1")});
    QTRY_COMPARE_WITH_TIMEOUT(mac.count(QStringLiteral("connected")), connectedBefore + 1, kWait);
    QList<peer::PeerID> witness;
    for (const PeerEvent& event : mac.events()) {
        if (event.what == QStringLiteral("connected") && event.name == QStringLiteral("Witness"))
            witness = {event.peer};
    }
    QVERIFY(!mac.session.sendData("proof", witness, peer::SendDataMode::Reliable));
    QVERIFY(phone.waitForExit(kWait));
    QCOMPARE(phone.exitCode(), 0);
}

} // namespace glasswing::test
