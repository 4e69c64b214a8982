// A Mac side in a process of its own, for the DNS-SD test: usage NAME [RETRY_MS]. It advertises
// under NAME, trying an unreachable Avahi again every RETRY_MS (as shipped without it), and
// accepts every phone, sends each one that joins a greeting, and prints one line per event
// (DNS-SD becoming available or unavailable included).
// Ends on SIGTERM.

#include "platform/peer/Advertiser.h"
#include "platform/peer/Session.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

using namespace glasswing::peer;

namespace {

void say(const QString& line)
{
    std::fputs(line.toUtf8().append('\n').constData(), stdout);
    std::fflush(stdout);
}

class AcceptAll : public SessionDelegate, public AdvertiserDelegate {
public:
    explicit AcceptAll(Session& session) : m_session(session) { }

    void sessionPeerDidChangeState(Session& session, const PeerID& peer, SessionState state) override
    {
        say(QStringLiteral("state %1 %2").arg(int(state)).arg(peer.displayName()));
        if (state == SessionState::Connected)
            session.sendData("greeting", {peer}, SendDataMode::Reliable);
    }
    void sessionDidReceiveData(Session&, const QByteArray&, const PeerID&) override { }
    void sessionDidReceiveStream(Session&, QIODevice*, const QString&, const PeerID&) override { }
    void sessionDidStartReceivingResource(Session&, const QString&, const PeerID&, const ResourceProgress&) override { }
    void sessionDidFinishReceivingResource(Session&, const QString&, const PeerID&, const QUrl&, const std::optional<PeerError>&) override { }
    void advertiserDidReceiveInvitationFromPeer(Advertiser&, const PeerID& peer, const std::optional<QByteArray>&,
                                                InvitationHandler handler) override
    {
        say(QStringLiteral("invited %1").arg(peer.displayName()));
        handler(true, &m_session);
    }

private:
    Session& m_session;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    const QString name = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("Glasswing Test");
    Session session(PeerID(name), nullptr, EncryptionPreference::Required);
    PeerLimits limits;
    if (argc > 2)
        limits.dnsSdRetry = std::chrono::milliseconds(QByteArray(argv[2]).toInt());
    Advertiser advertiser(session.myPeerID(), nullptr, QStringLiteral("Glasswing"), limits);
    AcceptAll delegate(session);
    session.setDelegate(&delegate);
    advertiser.setDelegate(&delegate);
    // Said from the event loop, so after the "listening" line, in the order reported.
    advertiser.setDnsSdAvailabilityHandler([](bool available) {
        QMetaObject::invokeMethod(qApp, [available] { say(available ? QStringLiteral("dnssd available") : QStringLiteral("dnssd unavailable")); }, Qt::QueuedConnection);
    });
    if (!advertiser.startAdvertisingPeer())
        return 1;
    say(QStringLiteral("listening %1").arg(advertiser.port()));
    const int status = QCoreApplication::exec();
    advertiser.setDelegate(nullptr);
    session.setDelegate(nullptr);
    return status;
}
