// Session events: each phone's state change is logged, and each change that settles a
// connection brings the list of connected phones, the status display and the status file up to
// date from the phones the session still lists. What phones send is ignored.

#include "mirroring/TrustedDevices.h"
#include "mirroring/ViewController.h"
#include "platform/ConsoleLine.h"

namespace glasswing {

void ViewController::sessionPeerDidChangeState(peer::Session& reporting, const peer::PeerID& peer,
                                               peer::SessionState state)
{
    // Network thread: lines and the count here; the display and the status request on the main
    // thread, display first.
    const QString name = peer.displayName();
    switch (state) {
    case peer::SessionState::Connected: {
        consoleLine(QStringLiteral("Connected: ") + name);
        const QList<peer::PeerID> peers = reporting.connectedPeers();
        onMainThread([this, peers, peer] {
            takeConnectedPeers(peers);
            // The current design at once, rather than at the next edit.
            sendNewestFrameTo(peer);
            showConnectedStatus(peers.size());
            updateStatus(true);
        });
        return;
    }
    case peer::SessionState::Connecting:
        consoleLine(QStringLiteral("Connecting: ") + name);
        return;
    case peer::SessionState::NotConnected: {
        consoleLine(QStringLiteral("Not Connected: ") + name);
        const QList<peer::PeerID> peers = reporting.connectedPeers();
        onMainThread([this, peers, peer] {
            m_frameSentTo.remove(peer);
            m_userIDs.remove(peer);
            takeConnectedPeers(peers);
            const qint64 count = peers.size();
            if (count == 0) {
                showDisconnectedStatus();
                updateStatus(false);
            } else {
                showConnectedStatus(count);
                updateStatus(true);
            }
        });
        return;
    }
    }
    consoleLine(QStringLiteral("ERROR"));
}

void ViewController::sessionDidReceiveData(peer::Session&, const QByteArray&, const peer::PeerID&)
{
}

void ViewController::sessionDidReceiveStream(peer::Session&, QIODevice*, const QString&, const peer::PeerID&)
{
}

void ViewController::sessionDidStartReceivingResource(peer::Session&, const QString&, const peer::PeerID&,
                                                      const peer::ResourceProgress&)
{
}

void ViewController::sessionDidFinishReceivingResource(peer::Session&, const QString&, const peer::PeerID&, const QUrl&,
                                                       const std::optional<peer::PeerError>&)
{
}

void ViewController::sendNewestFrameTo(const peer::PeerID& peer)
{
    // Every frame is sent from the main thread, and the session keeps one phone's messages in the
    // order they were sent: the newest, sent here, can only be followed by newer ones.
    if (m_newestFrame.isEmpty() || m_frameSentTo.value(peer) >= m_newestFrameNumber)
        return;
    m_frameSentTo.insert(peer, m_newestFrameNumber);
    const std::optional<peer::PeerError> error = session->sendData(m_newestFrame, {peer}, peer::SendDataMode::Reliable);
    if (error && error->code != peer::PeerError::NotConnected)
        consoleLine(QStringLiteral("error sending data: ") + error->description());
}

void ViewController::takeConnectedPeers(const QList<peer::PeerID>& peers)
{
    QList<std::pair<peer::PeerID, ConnectedPhone>> phones;
    for (const peer::PeerID& peer : peers) {
        phones.append({peer, ConnectedPhone{peer.displayName(), peer.kind() == peer::PeerID::Kind::Browser}});
    }
    if (phones == m_phones)
        return;
    m_phones = std::move(phones);
    updatePhoneChipHelp();
    Q_EMIT phonesChanged();
}

QList<ConnectedPhone> ViewController::connectedPhones() const
{
    QList<ConnectedPhone> phones;
    for (const auto& [peer, phone] : m_phones)
        phones.append(phone);
    return phones;
}

void ViewController::disconnect()
{
    session->disconnect();
}

void ViewController::disconnectUserID(const QString& userID)
{
    for (auto entry = m_userIDs.cbegin(); entry != m_userIDs.cend(); ++entry) {
        if (trusted::sameUserID(entry.value(), userID))
            session->disconnectPeer(entry.key());
    }
}

} // namespace glasswing
