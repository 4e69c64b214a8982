#pragma once

#include <QtGlobal>

#include <chrono>

namespace glasswing::peer {

// Every bound of the peer link. The defaults are the values that PROTOCOL.md documents; tests
// shorten the times.
struct PeerLimits {
    using ms = std::chrono::milliseconds;

    // Incoming, before the phone has joined: the invitation and the joined message.
    qint64 maxControlMessageBytes = 16 * 1024;
    // Incoming, after the phone has joined: anything a phone sends (the application ignores it).
    qint64 maxIncomingDataMessageBytes = 1024 * 1024;
    // The largest message `Session::sendData` accepts.
    qint64 maxSendMessageBytes = 32 * 1024 * 1024;
    // Bytes waiting for one joined phone: queued frames with their framing, pings and pongs,
    // and the kernel's unacknowledged send queue. A send that would pass it fails for that phone.
    qint64 maxOutboundQueueBytes = 64 * 1024 * 1024;

    // Connections that have not joined (handshaking, inviting, waiting for the user's answer or
    // for the joined message). Further connections are closed at once.
    int maxPendingConnections = 32;
    // Of those, how many one device's address may hold, and all the IPv6 addresses of one /64
    // network (every device of a home network has one there; one device can take many).
    int maxPendingConnectionsPerAddress = 4;
    int maxPendingConnectionsPerNetwork = 16;
    // Bytes waiting to be written to a phone that has not joined (pongs, the answer, a close);
    // after joining, the allowance on top of `maxOutboundQueueBytes`. A phone that does not read
    // its way below it is cut off.
    qint64 maxPendingOutboundBytes = 64 * 1024;

    // The web viewer's port (PROTOCOL.md, section 10). A browser loads the page's files over several
    // connections at once, each pending until it is answered, so one address may hold more there.
    int maxPendingWebConnectionsPerAddress = 8;
    // The request line and headers of one web request.
    qint64 maxRequestHeadBytes = 8 * 1024;

    ms tlsHandshakeTimeout{10000};
    // From the end of TLS to the end of the WebSocket upgrade; on the web port, also the bound on
    // a request's head (and a stream request's body) and on sending a file.
    ms upgradeTimeout{10000};
    ms invitationTimeout{10000}; // from the upgrade to the invitation message
    ms answerTimeout{60000}; // from the invitation to the user's answer
    ms joinTimeout{10000}; // from the accept message to the joined message

    ms keepaliveInterval{2000}; // a ping this often once upgraded
    // The ping in flight must be answered within this long of the phone's side taking it; until
    // it has taken it, the phone must keep taking bytes that waited, at least this often.
    ms keepaliveTimeout{6000};
    // However slowly it reads, a phone must take a ping within this long of its sending: with a
    // full queue, a phone must read at least the queue cap in this time.
    ms pingDeliveryTimeout{60000};

    // While Avahi cannot be reached, how long to wait before trying it again.
    ms dnsSdRetry{5000};
};

} // namespace glasswing::peer
