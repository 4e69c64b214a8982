#include "platform/peer/Advertiser.h"

#include "platform/peer/DnsSdRegistration.h"
#include "platform/peer/EphemeralIdentity.h"
#include "platform/peer/Listener.h"
#include "platform/peer/NetworkThread.h"
#include "platform/peer/Session.h"
#include "platform/peer/WebSite.h"

#include <QHostAddress>
#include <QHostInfo>
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
        m_listener
            = new Listener([this](qintptr socketDescriptor) { incoming(socketDescriptor, false); }, kAcceptRetry);
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
                                                         m_port.load(), m_dnsSdAvailability, m_limits.dnsSdRetry);
    return true;
}

void Advertiser::stopAdvertisingPeer()
{
    m_registration.reset();
    runOnNetworkThreadAndWait([this] {
        delete m_listener;
        m_listener = nullptr;
        m_port = 0;
        delete m_webListener;
        m_webListener = nullptr;
        m_webPort = 0;
    });
}

bool Advertiser::startWebViewer(quint16 preferredPort, const QSslCertificate& certificate, const QSslKey& privateKey,
                                const QString& filesRoot)
{
    if (m_webPort.load() != 0)
        return true;
    bool listening = false;
    runOnNetworkThreadAndWait([&] {
        m_webTls = QSslConfiguration::defaultConfiguration();
        m_webTls.setLocalCertificate(certificate);
        m_webTls.setPrivateKey(privateKey);
        m_webTls.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_webTls.setProtocol(QSsl::TlsV1_2OrLater);
        m_webListener
            = new Listener([this](qintptr socketDescriptor) { incoming(socketDescriptor, true); }, kAcceptRetry);
        // The port is kept for the next start (by the caller) when it was free now.
        bool opened = m_webListener->listen(128, preferredPort, true);
        if (!opened && preferredPort != 0) {
            // Kept for the next start: the port browsers know is worth having back.
            qCInfo(lcAdvertiser) << "the web viewer's port" << preferredPort << "is not free ("
                                 << m_webListener->errorString() << "); another is used for this run";
            delete m_webListener;
            m_webListener
                = new Listener([this](qintptr socketDescriptor) { incoming(socketDescriptor, true); }, kAcceptRetry);
            opened = m_webListener->listen(128);
        }
        if (!opened) {
            qCWarning(lcAdvertiser) << "cannot listen for browsers:" << m_webListener->errorString();
            delete m_webListener;
            m_webListener = nullptr;
            return;
        }
        m_webPort = m_webListener->port();
        m_site = std::make_shared<const WebSite>(filesRoot, m_webPort.load(), m_myPeerID.displayName(),
                                                 QHostInfo::localHostName(), m_limits.maxControlMessageBytes);
        listening = true;
    });
    return listening;
}

void Advertiser::setWebIdentity(const QSslCertificate& certificate, const QSslKey& privateKey)
{
    runOnNetworkThreadAndWait([&] {
        m_webTls.setLocalCertificate(certificate);
        m_webTls.setPrivateKey(privateKey);
    });
}

void Advertiser::incoming(qintptr socketDescriptor, bool web)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(int(socketDescriptor), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        ::close(int(socketDescriptor)); // gone before it was taken
        return;
    }
    const QHostAddress from(reinterpret_cast<const sockaddr*>(&peer));
    const Source source{addressKey(from), networkKey(from), web};
    qsizetype fromAddress = 0;
    qsizetype fromNetwork = 0;
    for (const Source& other : std::as_const(m_pending)) {
        // Per address, each port on its own: a browser loading the page is not held against the app.
        fromAddress += other.address == source.address && other.web == web ? 1 : 0;
        fromNetwork += !source.network.isEmpty() && other.network == source.network ? 1 : 0;
    }
    const int perAddress = web ? m_limits.maxPendingWebConnectionsPerAddress : m_limits.maxPendingConnectionsPerAddress;
    const char* over = m_pending.size() >= m_limits.maxPendingConnections ? ""
        : fromAddress >= perAddress                                       ? "from one address"
        : fromNetwork >= m_limits.maxPendingConnectionsPerNetwork         ? "from one network"
                                                                          : nullptr;
    if (over) {
        qCInfo(lcAdvertiser) << "too many connections waiting to join" << over << "; closing a new one";
        ::close(int(socketDescriptor));
        return;
    }
    auto* connection = web ? new Connection(socketDescriptor, m_webTls, m_limits, this, m_site)
                           : new Connection(socketDescriptor, m_tls, m_limits, this);
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
    const PeerID peer(name, QStringLiteral("Phone"),
                      connection->isBrowser() ? PeerID::Kind::Browser : PeerID::Kind::App, connection->code());
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
