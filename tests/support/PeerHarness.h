#pragma once

#include "platform/peer/Advertiser.h"
#include "platform/peer/Session.h"

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <mutex>

namespace glasswing::test {

// One event a delegate heard, in a form tests can compare.
struct PeerEvent {
    QString what; // "invited", "connecting", "connected", "not connected", "data"
    QString name;
    std::optional<QByteArray> context;
    peer::PeerID peer;
};

// A Mac side for tests: an advertiser and a session on loopback, with a delegate that records
// every event (from the network thread) and answers invitations by a policy.
class PeerHarness : public peer::SessionDelegate, public peer::AdvertiserDelegate {
public:
    enum class Answer { Accept, Decline, Hold };

    explicit PeerHarness(const peer::PeerLimits& limits = {}, const QString& name = QStringLiteral("Test Mac"))
        : session(peer::PeerID(name), nullptr, peer::EncryptionPreference::Required, limits)
        , advertiser(session.myPeerID(), nullptr, QStringLiteral("Glasswing"), limits)
    {
        session.setDelegate(this);
        advertiser.setDelegate(this);
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

    std::atomic<Answer> answer{Answer::Accept};
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

} // namespace glasswing::test
