#include "platform/peer/Session.h"

#include "platform/peer/NetworkThread.h"

#include <QStringList>

#include <utility>

namespace glasswing::peer {

Session::Session(const PeerID& myPeerID, std::nullptr_t, EncryptionPreference encryption, const PeerLimits& limits,
                 SendPolicy policy)
    : m_myPeerID(myPeerID)
    , m_encryption(encryption)
    , m_limits(limits)
    , m_policy(policy)
{
}

Session::~Session()
{
    // Work this session posted earlier runs before this (the network thread takes posts in
    // order), so nothing touches the session once it is gone.
    runOnNetworkThreadAndWait([this] {
        m_delegate = nullptr; // so closing reports to nobody
        closeAll(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("session ended"));
    });
}

void Session::setDelegate(SessionDelegate* delegate)
{
    runOnNetworkThreadAndWait([this, delegate] { m_delegate = delegate; });
}

QList<PeerID> Session::connectedPeers() const
{
    QList<PeerID> peers;
    const std::lock_guard<std::mutex> guard(m_lock);
    for (const Member& member : m_members) {
        if (member.state == SessionState::Connected)
            peers.append(member.peer);
    }
    return peers;
}

std::optional<PeerError> Session::sendData(const QByteArray& data, const QList<PeerID>& peers, SendDataMode)
{
    if (peers.isEmpty())
        return PeerError{PeerError::InvalidArgument, QStringLiteral("No peers to send to.")};
    if (data.size() > m_limits.maxSendMessageBytes)
        return PeerError{PeerError::MessageTooLarge,
                         QStringLiteral("Message of %1 bytes is over the limit of %2 bytes.")
                             .arg(data.size())
                             .arg(m_limits.maxSendMessageBytes)};

    const qint64 cost = costAtMost(data.size());
    QStringList notConnected;
    QStringList queueFull;
    std::vector<Connection*> targets;
    bool anyWaiting = false;
    bool postHandOver = false;
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        for (const PeerID& peer : peers) {
            const auto member
                = std::find_if(m_members.begin(), m_members.end(), [&](const Member& m) { return m.peer == peer; });
            if (member == m_members.end() || member->state != SessionState::Connected) {
                notConnected.append(peer.displayName());
            } else if (m_policy == SendPolicy::NewestWins) {
                // Never more than the cap, however empty the queue; otherwise it waits its turn
                // on the network thread, where the connection's backlog is known.
                if (cost > m_limits.maxOutboundQueueBytes) {
                    queueFull.append(peer.displayName());
                } else {
                    member->waiting = data;
                    anyWaiting = true;
                }
            } else if (member->postedBytes + member->backlogBytes + cost > m_limits.maxOutboundQueueBytes) {
                queueFull.append(peer.displayName());
            } else {
                member->postedBytes += cost;
                targets.push_back(member->connection);
            }
        }
        // One hand-over posted at a time: while the network thread is busy, messages replace
        // each other, and the posts must not pile up either.
        postHandOver = anyWaiting && !std::exchange(m_handOverPosted, true);
    }
    if (!targets.empty()) {
        postToNetworkThread([this, data, targets, cost] {
            for (Connection* connection : targets) {
                bool stillMember = false;
                {
                    const std::lock_guard<std::mutex> guard(m_lock);
                    stillMember = findLocked(connection) != nullptr;
                }
                // A phone that left meanwhile: its connection may already be gone.
                if (!stillMember)
                    continue;
                connection->sendBinary(data);
                // Counted twice for a moment (the connection has already reported it), never
                // not at all, so a send from another thread cannot slip past the cap.
                const std::lock_guard<std::mutex> guard(m_lock);
                if (Member* member = findLocked(connection))
                    member->postedBytes -= cost;
            }
        });
    }
    if (postHandOver) {
        postToNetworkThread([this] {
            {
                const std::lock_guard<std::mutex> guard(m_lock);
                m_handOverPosted = false;
            }
            handOverWaiting();
        });
    }

    if (notConnected.isEmpty() && queueFull.isEmpty())
        return std::nullopt;
    QStringList details;
    if (!notConnected.isEmpty())
        details.append(QStringLiteral("Peers not connected: ") + notConnected.join(QStringLiteral(", ")) + u'.');
    if (!queueFull.isEmpty())
        details.append(QStringLiteral("Outbound queue over %1 bytes for: ").arg(m_limits.maxOutboundQueueBytes)
                       + queueFull.join(QStringLiteral(", ")) + u'.');
    return PeerError{notConnected.isEmpty() ? PeerError::QueueFull : PeerError::NotConnected, details.join(u' ')};
}

void Session::disconnect()
{
    postToNetworkThread([this] { closeAll(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("disconnected")); });
}

void Session::disconnectPeer(const PeerID& peer)
{
    postToNetworkThread([this, peer] {
        std::optional<Member> member;
        {
            const std::lock_guard<std::mutex> guard(m_lock);
            const auto found
                = std::find_if(m_members.begin(), m_members.end(), [&](const Member& m) { return m.peer == peer; });
            if (found == m_members.end())
                return;
            member = std::move(*found);
            m_members.erase(found);
        }
        member->connection->detach();
        member->connection->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("disconnected"));
        report(member->peer, SessionState::NotConnected);
    });
}

void Session::closeAll(QWebSocketProtocol::CloseCode code, const QString& reason)
{
    std::vector<Member> members;
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        members.swap(m_members);
    }
    for (const Member& member : members) {
        member.connection->detach();
        member.connection->close(code, reason);
        report(member.peer, SessionState::NotConnected);
    }
}

void Session::adopt(Connection* connection, const PeerID& peer)
{
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_members.push_back(Member{connection, peer, SessionState::Connecting, 0, 0, std::nullopt});
    }
    report(peer, SessionState::Connecting);
    connection->accept(this, m_myPeerID.displayName());
}

Session::Member* Session::findLocked(Connection* connection)
{
    for (Member& member : m_members) {
        if (member.connection == connection)
            return &member;
    }
    return nullptr;
}

bool Session::hasRoomLocked(const Member& member, qint64 bytes) const
{
    return member.state == SessionState::Connected && member.backlogBytes <= kNewestWinsSlackBytes
        && member.postedBytes + member.backlogBytes + bytes <= m_limits.maxOutboundQueueBytes;
}

void Session::handOverWaiting()
{
    // One message at a time, each handed over as soon as it is taken: a connection reports its
    // backlog from within `sendBinary`, which can bring us back here, and a message taken but
    // not yet handed over could then be overtaken by a newer one.
    for (;;) {
        Connection* connection = nullptr;
        QByteArray data;
        {
            const std::lock_guard<std::mutex> guard(m_lock);
            for (Member& member : m_members) {
                if (member.waiting && hasRoomLocked(member, costAtMost(member.waiting->size()))) {
                    connection = member.connection;
                    data = std::move(*member.waiting);
                    member.waiting.reset();
                    break;
                }
            }
        }
        if (!connection)
            return;
        connection->sendBinary(data);
    }
}

void Session::connectionJoined(Connection* connection)
{
    PeerID peer;
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        Member* member = findLocked(connection);
        if (!member)
            return;
        member->state = SessionState::Connected;
        peer = member->peer;
    }
    report(peer, SessionState::Connected);
}

void Session::connectionReceived(Connection* connection, const QByteArray& data)
{
    PeerID peer;
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        const Member* member = findLocked(connection);
        if (!member)
            return;
        peer = member->peer;
    }
    if (m_delegate)
        m_delegate->sessionDidReceiveData(*this, data, peer);
}

void Session::connectionBacklogChanged(Connection* connection, qint64 backlog)
{
    bool due = false;
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        if (Member* member = findLocked(connection)) {
            member->backlogBytes = backlog;
            due = member->waiting && hasRoomLocked(*member, costAtMost(member->waiting->size()));
        }
    }
    if (due)
        handOverWaiting();
}

void Session::connectionClosed(Connection* connection)
{
    PeerID peer;
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        const auto member = std::find_if(m_members.begin(), m_members.end(),
                                         [&](const Member& m) { return m.connection == connection; });
        if (member == m_members.end())
            return;
        peer = member->peer;
        m_members.erase(member);
    }
    report(peer, SessionState::NotConnected);
}

void Session::report(const PeerID& peer, SessionState state)
{
    if (m_delegate)
        m_delegate->sessionPeerDidChangeState(*this, peer, state);
}

} // namespace glasswing::peer
