#pragma once

#include "platform/peer/Connection.h"
#include "platform/peer/PeerError.h"
#include "platform/peer/PeerID.h"
#include "platform/peer/PeerLimits.h"

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

class QIODevice;

namespace glasswing::peer {

class Connection;
class Session;

// A phone's state in the session. The numbers are part of the contract with the controllers.
enum class SessionState : int { NotConnected = 0, Connecting = 1, Connected = 2 };

enum class EncryptionPreference : int { Optional = 0, Required = 1, None = 2 };
enum class SendDataMode : int { Reliable = 0, Unreliable = 1 };

// What a session does with a message for a phone that is still taking earlier ones. Chosen when
// the session is made; the same for every phone.
enum class SendPolicy : int {
    // Every message is queued, up to `maxOutboundQueueBytes` per phone; past that, a message
    // fails for that phone.
    QueueEvery = 0,
    // For live content, where only the newest message counts: a message waits in the session
    // while the phone still has more than `kNewestWinsSlackBytes` of earlier ones to take, and a
    // newer message replaces the one waiting, which is then never sent. A message handed to the
    // connection is always sent whole, so a phone gets whole messages, in order, and always the
    // newest once its link lets it.
    NewestWins = 1,
};

// Under `NewestWins`, how much of earlier messages may still be on its way to a phone when the
// next is handed to its connection: enough to keep a fast link busy while the next is encrypted
// and while nothing tells how far the kernel has got (see `Connection`), little against a frame.
constexpr qint64 kNewestWinsSlackBytes = 256 * 1024;

struct ResourceProgress {
    qint64 completed = 0;
    qint64 total = 0;
};

// What a session tells its delegate. Every call comes on the network thread, one at a time.
//
// For each phone the states come in the order connecting, connected (after its joined message),
// not connected; a phone that fails before joining goes from connecting straight to not
// connected. `connectedPeers()` already reflects a change when the delegate hears of it.
// The protocol has no streams or resources, so the last three are never called by this link;
// they exist so that controllers written against the full platform contract compile unchanged.
class SessionDelegate {
public:
    virtual ~SessionDelegate() = default;
    virtual void sessionPeerDidChangeState(Session& session, const PeerID& peer, SessionState state) = 0;
    virtual void sessionDidReceiveData(Session& session, const QByteArray& data, const PeerID& peer) = 0;
    virtual void sessionDidReceiveStream(Session& session, QIODevice* stream, const QString& name, const PeerID& peer)
        = 0;
    virtual void sessionDidStartReceivingResource(Session& session, const QString& name, const PeerID& peer,
                                                  const ResourceProgress& progress)
        = 0;
    virtual void sessionDidFinishReceivingResource(Session& session, const QString& name, const PeerID& peer,
                                                   const QUrl& location, const std::optional<PeerError>& error)
        = 0;
};

// The one session that phones join once their invitation is accepted.
//
// Made on any thread; its connections live on the network thread. `connectedPeers`,
// `sendData`, `disconnect` and `disconnectPeer` may be called from any thread. The delegate must outlive the
// session or be cleared first. Destroying the session closes every connection without reporting.
class Session : private ConnectionOwner {
public:
    // There is no security identity: phones do not authenticate the Mac. `Required` is the only
    // encryption this link offers (TLS on every connection); the others are accepted and mean the same.
    Session(const PeerID& myPeerID, std::nullptr_t securityIdentity, EncryptionPreference encryption,
            const PeerLimits& limits = {}, SendPolicy policy = SendPolicy::QueueEvery);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const PeerID& myPeerID() const { return m_myPeerID; }
    EncryptionPreference encryptionPreference() const { return m_encryption; }
    SendPolicy sendPolicy() const { return m_policy; }
    void setDelegate(SessionDelegate* delegate);

    // The phones connected now (joined), in the order they joined. A snapshot.
    QList<PeerID> connectedPeers() const;

    // Queues `data` as one message to each of `peers` and returns at once; nothing when queued for
    // all of them. It fails as a whole, for nobody, when the list is empty or the message is over
    // `maxSendMessageBytes`. It fails for a peer that is not connected or whose outbound queue
    // would pass `maxOutboundQueueBytes`; the others still receive it, and the error names the
    // peers that did not. Both modes are delivered reliably and in order. Under `NewestWins` a
    // message for a phone that is still busy waits (it is not over the queue cap then), and may
    // later be replaced, unreported, by a newer one.
    std::optional<PeerError> sendData(const QByteArray& data, const QList<PeerID>& peers, SendDataMode mode);

    // Closes every connection; each phone that was connecting or connected is reported not
    // connected (on the network thread, before any later event). The session stays usable.
    void disconnect();

    // Closes the connection of `peer` alone, if it is in the session (connecting or connected);
    // it is reported not connected (on the network thread, before any later event). Others stay.
    void disconnectPeer(const PeerID& peer);

    // Network thread: an accepted invitation hands its connection to the session. Reports the
    // phone connecting.
    void adopt(Connection* connection, const PeerID& peer);

private:
    struct Member {
        Connection* connection;
        PeerID peer;
        SessionState state;
        // What waits for the phone: messages accepted but not yet handed to its connection, and
        // what the connection last said it has not written (frames, pings, pongs, with framing).
        qint64 postedBytes = 0;
        qint64 backlogBytes = 0;
        // Under `NewestWins`: the message due next, until the connection has room for it.
        std::optional<QByteArray> waiting;
    };

    void connectionInvited(Connection*, const QString&, const std::optional<QByteArray>&) override { }
    void connectionJoined(Connection* connection) override;
    void connectionReceived(Connection* connection, const QByteArray& data) override;
    void connectionBacklogChanged(Connection* connection, qint64 backlog) override;
    void connectionClosed(Connection* connection) override;

    // At least what a message of `bytes` costs until the phone has it: its WebSocket headers and
    // TLS records, and the memory of handing it to the network thread. Messages not yet handed
    // to a connection count at this much, so that, handed over, they cannot take it past its own
    // bound, and that empty messages cannot pile up uncounted.
    static qint64 costAtMost(qint64 bytes) { return bytes + 256 + bytes / 256; }
    Member* findLocked(Connection* connection);
    // Whether the member's connection may take `bytes` more now.
    bool hasRoomLocked(const Member& member, qint64 bytes) const;
    // Network thread: hands each waiting message to its connection where there is room for it.
    void handOverWaiting();
    // Network thread: closes every member's connection, reporting each one not connected.
    void closeAll(QWebSocketProtocol::CloseCode code, const QString& reason);
    void report(const PeerID& peer, SessionState state);

    const PeerID m_myPeerID;
    const EncryptionPreference m_encryption;
    const PeerLimits m_limits;
    const SendPolicy m_policy;
    SessionDelegate* m_delegate = nullptr; // read and called on the network thread only

    mutable std::mutex m_lock; // guards m_members and m_handOverPosted
    std::vector<Member> m_members;
    bool m_handOverPosted = false; // a hand-over is posted and has not started yet
};

} // namespace glasswing::peer
