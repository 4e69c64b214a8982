#pragma once

#include "platform/peer/Connection.h"
#include "platform/peer/PeerID.h"
#include "platform/peer/PeerLimits.h"

#include <QByteArray>
#include <QHash>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

class QHostAddress;

namespace glasswing::peer {

class Advertiser;
class DnsSdRegistration;
class Listener;
class Session;
class WebSite;

// The answer to one invitation. Copyable; may be called from any thread, at any later time, and
// only its first call counts. `accept` true with a session makes the phone connecting in that
// session (connected after its joined message); false, or no session, declines: the phone is told
// and the connection closed. Answering for a phone that has gone meanwhile does nothing.
using InvitationHandler = std::function<void(bool accept, Session* session)>;

// What an advertiser tells its delegate; called on the network thread.
class AdvertiserDelegate {
public:
    virtual ~AdvertiserDelegate() = default;
    // `context` is the bytes the phone sent along, absent when it sent none (distinct from empty).
    virtual void advertiserDidReceiveInvitationFromPeer(Advertiser& advertiser, const PeerID& peer,
                                                        const std::optional<QByteArray>& context,
                                                        InvitationHandler invitationHandler)
        = 0;
    // The phone of an invitation still waiting for its answer has gone (it closed, vanished or ran
    // out of time); answering it now does nothing. `peer` is the one its invitation named.
    virtual void advertiserInvitationWasWithdrawn(Advertiser& advertiser, const PeerID& peer)
    {
        (void)advertiser;
        (void)peer;
    }
};

// Announces the Mac to nearby phones and takes their invitations.
//
// `startAdvertisingPeer` opens a TLS WebSocket listener on every interface (IPv4 and IPv6) on a
// port the system picks, and registers the DNS-SD service "_<serviceType>._tcp" under the peer's
// display name. Made and used on any one thread; its sockets live on the network thread.
// Destroying it stops advertising and closes the connections whose invitation is not yet answered;
// accepted phones stay in their session.
//
// `startWebViewer` opens a second, TLS-only port for browsers (PROTOCOL.md, section 10): it serves
// the page and takes browser phones into the same invitations, under the same caps on connections
// that have not joined (one address may hold `maxPendingWebConnectionsPerAddress` there), with an
// identity of its own that the caller keeps from run to run. Browser phones' PeerIDs say so, with
// their code.
class Advertiser : private ConnectionOwner {
public:
    Advertiser(const PeerID& myPeerID, std::nullptr_t discoveryInfo, const QString& serviceType,
               const PeerLimits& limits = {});
    ~Advertiser() override;
    Advertiser(const Advertiser&) = delete;
    Advertiser& operator=(const Advertiser&) = delete;

    const PeerID& myPeerID() const { return m_myPeerID; }
    const QString& serviceType() const { return m_serviceType; }
    void setDelegate(AdvertiserDelegate* delegate);

    // Returns false (and says why on standard error) when no port could be opened. Without an
    // Avahi daemon it still listens, and announces the service once a daemon appears.
    bool startAdvertisingPeer();
    void stopAdvertisingPeer();

    // Hears whether phones can find this advertiser by DNS-SD (false without an Avahi daemon,
    // true once it runs), at each change, on a thread of Avahi's. Set before advertising starts.
    void setDnsSdAvailabilityHandler(std::function<void(bool available)> handler)
    {
        m_dnsSdAvailability = std::move(handler);
    }

    // The listening port; 0 when not advertising.
    quint16 port() const { return m_port.load(); }

    // Opens the web viewer's port: `preferredPort` when it is free (0: any), otherwise any the
    // system gives. Serves the page's files from the Qt resources under `filesRoot`. False (and
    // why, on standard error) when no port could be opened. Any thread; once only.
    // `stopAdvertisingPeer` closes this port too.
    bool startWebViewer(quint16 preferredPort, const QSslCertificate& certificate, const QSslKey& privateKey,
                        const QString& filesRoot);
    // The web viewer's port; 0 when it is not open.
    quint16 webPort() const { return m_webPort.load(); }
    // The identity for connections made from now on; those already made keep theirs. Any thread.
    void setWebIdentity(const QSslCertificate& certificate, const QSslKey& privateKey);
    // Connections whose phone has not joined yet (network thread figure, read from anywhere).
    int pendingConnectionCount() const { return m_pendingCount.load(); }

    // "_Glasswing._tcp" for "Glasswing".
    static QByteArray dnsSdServiceType(const QString& serviceType);
    // Where a connection comes from, for the per-source caps on connections that have not
    // joined: the device's address (an IPv4 address also when mapped into IPv6), and for IPv6
    // its /64 network, which one device can fill with addresses (empty for IPv4).
    static QByteArray addressKey(const QHostAddress& address);
    static QByteArray networkKey(const QHostAddress& address);

private:
    // One invitation waiting for the user's answer. Answers find it by its serial number, never
    // by the connection's address: a connection that closes is deleted, and the next one may be
    // made at the same address.
    struct Invitation {
        Connection* connection;
        PeerID peer;
    };

    void incoming(qintptr socketDescriptor, bool web);
    void answer(quint64 invitation, bool accept, Session* session);

    void connectionInvited(Connection* connection, const QString& name,
                           const std::optional<QByteArray>& context) override;
    void connectionJoined(Connection*) override { }
    void connectionReceived(Connection*, const QByteArray&) override { }
    void connectionBacklogChanged(Connection*, qint64) override { }
    void connectionClosed(Connection* connection) override;

    const PeerID m_myPeerID;
    const QString m_serviceType;
    const PeerLimits m_limits;

    // Network thread only.
    AdvertiserDelegate* m_delegate = nullptr;
    Listener* m_listener = nullptr;
    QSslConfiguration m_tls;
    Listener* m_webListener = nullptr;
    QSslConfiguration m_webTls;
    std::shared_ptr<const WebSite> m_site;
    struct Source {
        QByteArray address;
        QByteArray network;
        bool web = false;
    };
    QHash<Connection*, Source> m_pending; // not joined yet, with where they come from
    QHash<quint64, Invitation> m_invitations; // awaiting the user's answer, by serial number
    quint64 m_lastInvitation = 0;
    // Lets late invitation answers find out that this advertiser is gone.
    std::shared_ptr<Advertiser*> m_self;

    std::unique_ptr<DnsSdRegistration> m_registration;
    std::function<void(bool)> m_dnsSdAvailability;
    std::atomic<quint16> m_port{0};
    std::atomic<quint16> m_webPort{0};
    std::atomic<int> m_pendingCount{0};
};

} // namespace glasswing::peer
