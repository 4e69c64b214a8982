#include "platform/peer/Advertiser.h"

#include "platform/peer/DnsSdRegistration.h"
#include "platform/peer/EphemeralIdentity.h"
#include "platform/peer/Listener.h"
#include "platform/peer/NetworkThread.h"
#include "platform/peer/Session.h"

#include <QHostAddress>
#include <QLoggingCategory>

#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcAdvertiser, "glasswing.peer.advertiser")

namespace {
// How long accepting pauses after an accept failed (out of descriptors, say).
constexpr std::chrono::milliseconds kAcceptRetry{500};
} // namespace

namespace glasswing::peer {

Advertiser::Advertiser(const PeerID& myPeerID, std::nullptr_t, const QString& serviceType, const PeerLimits& limits)
    : m_myPeerID(myPeerID)
    , m_serviceType(serviceType)
    , m_limits(limits)
    , m_self(std::make_shared<Advertiser*>(this))
{
}

Advertiser::~Advertiser()
{
    stopAdvertisingPeer();
    runOnNetworkThreadAndWait([this] {
        m_delegate = nullptr;
        m_self.reset(); // late answers now find nobody
        const QList<Connection*> pending = m_pending.keys();
        m_pending.clear();
        for (Connection* connection : pending) {
            QObject::disconnect(connection, &Connection::leftPending, nullptr, nullptr);
            if (connection->stage() != Connection::Stage::AwaitingJoin) {
                connection->detach();
                connection->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("no longer advertising"));
            }
        }
        m_invitations.clear();
    });
}

QByteArray Advertiser::dnsSdServiceType(const QString& serviceType)
{
    return "_" + serviceType.toUtf8() + "._tcp";
}

QByteArray Advertiser::addressKey(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return "4:" + QByteArray::number(ipv4);
    // The scope keeps link-local addresses of different interfaces apart.
    const Q_IPV6ADDR ipv6 = address.toIPv6Address();
    return "6:" + QByteArray(reinterpret_cast<const char*>(ipv6.c), 16).toHex() + '%' + address.scopeId().toUtf8();
}

QByteArray Advertiser::networkKey(const QHostAddress& address)
{
    bool isIPv4 = false;
    address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return {};
    const Q_IPV6ADDR ipv6 = address.toIPv6Address();
    return "6:" + QByteArray(reinterpret_cast<const char*>(ipv6.c), 8).toHex() + "::/64%" + address.scopeId().toUtf8();
}

void Advertiser::setDelegate(AdvertiserDelegate* delegate)
{
    runOnNetworkThreadAndWait([this, delegate] { m_delegate = delegate; });
}

bool Advertiser::startAdvertisingPeer()
{
    if (m_port.load() != 0)
        return true;
    bool listening = false;
    runOnNetworkThreadAndWait([this, &listening] {
        if (m_tls.isNull()) {
            const EphemeralIdentity identity = EphemeralIdentity::generate(m_myPeerID.displayName());
            m_tls = QSslConfiguration::defaultConfiguration();
            m_tls.setLocalCertificate(identity.certificate);
            m_tls.setPrivateKey(identity.privateKey);
            m_tls.setPeerVerifyMode(QSslSocket::VerifyNone);
            m_tls.setProtocol(QSsl::TlsV1_2OrLater);
        }
        // Each accepted descriptor goes straight to `incoming`, so that a connection over the caps
        // is closed before any TLS work is done for it.
        m_listener = new Listener([this](qintptr socketDescriptor) { incoming(socketDescriptor); }, kAcceptRetry);
        // Room for a burst of phones (and of junk) while the network thread sorts them out.
        if (!m_listener->listen(128)) {
            qCWarning(lcAdvertiser) << "cannot listen for phones:" << m_listener->errorString();
            delete m_listener;
            m_listener = nullptr;
            return;
        }
        m_port = m_listener->port();
        listening = true;
    });
    if (!listening)
        return false;
    m_registration = std::make_unique<DnsSdRegistration>(m_myPeerID.displayName(), dnsSdServiceType(m_serviceType),
                                                         m_port.load(), m_dnsSdAvailability);
    return true;
}

void Advertiser::stopAdvertisingPeer()
{
    m_registration.reset();
    runOnNetworkThreadAndWait([this] {
        delete m_listener;
        m_listener = nullptr;
        m_port = 0;
    });
}

void Advertiser::incoming(qintptr socketDescriptor)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(int(socketDescriptor), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        ::close(int(socketDescriptor)); // gone before it was taken
        return;
    }
    const QHostAddress from(reinterpret_cast<const sockaddr*>(&peer));
    const Source source{addressKey(from), networkKey(from)};
    qsizetype fromAddress = 0;
    qsizetype fromNetwork = 0;
    for (const Source& other : std::as_const(m_pending)) {
        fromAddress += other.address == source.address ? 1 : 0;
        fromNetwork += !source.network.isEmpty() && other.network == source.network ? 1 : 0;
    }
    const char* over = m_pending.size() >= m_limits.maxPendingConnections ? ""
        : fromAddress >= m_limits.maxPendingConnectionsPerAddress         ? "from one address"
        : fromNetwork >= m_limits.maxPendingConnectionsPerNetwork         ? "from one network"
                                                                          : nullptr;
    if (over) {
        qCInfo(lcAdvertiser) << "too many connections waiting to join" << over << "; closing a new one";
        ::close(int(socketDescriptor));
        return;
    }
    auto* connection = new Connection(socketDescriptor, m_tls, m_limits, this);
    m_pending.insert(connection, source);
    m_pendingCount = int(m_pending.size());
    QObject::connect(connection, &Connection::leftPending, networkContext(), [this, connection] {
        m_pending.remove(connection);
        m_pendingCount = int(m_pending.size());
    });
}

void Advertiser::connectionInvited(Connection* connection, const QString& name,
                                   const std::optional<QByteArray>& context)
{
    const PeerID peer(name, QStringLiteral("Phone"));
    const quint64 serial = ++m_lastInvitation;
    m_invitations.insert(serial, Invitation{connection, peer});

    auto answered = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<Advertiser*> advertiser = m_self;
    InvitationHandler handler = [answered, advertiser, serial](bool accept, Session* session) {
        if (answered->exchange(true))
            return;
        postToNetworkThread([advertiser, serial, accept, session] {
            if (const std::shared_ptr<Advertiser*> alive = advertiser.lock())
                (*alive)->answer(serial, accept, session);
        });
    };
    if (m_delegate)
        m_delegate->advertiserDidReceiveInvitationFromPeer(*this, peer, context, handler);
    else
        handler(false, nullptr);
}

void Advertiser::answer(quint64 invitation, bool accept, Session* session)
{
    // An invitation whose connection closed meanwhile is gone, and its answer with it.
    const auto waiting = m_invitations.find(invitation);
    if (waiting == m_invitations.end())
        return;
    const Invitation found = waiting.value();
    m_invitations.erase(waiting);
    if (accept && session)
        session->adopt(found.connection, found.peer);
    else
        found.connection->decline();
}

void Advertiser::connectionClosed(Connection* connection)
{
    for (auto entry = m_invitations.begin(); entry != m_invitations.end();) {
        if (entry.value().connection != connection) {
            ++entry;
            continue;
        }
        const PeerID peer = entry.value().peer;
        entry = m_invitations.erase(entry);
        if (m_delegate)
            m_delegate->advertiserInvitationWasWithdrawn(*this, peer);
    }
}

} // namespace glasswing::peer
