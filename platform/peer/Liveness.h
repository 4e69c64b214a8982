#pragma once

#include <QtGlobal>

#include <chrono>
#include <optional>

namespace glasswing::peer {

// Decides at each keepalive tick whether a phone is still there, from what its connection sees:
// the answers to its pings, and how far the phone has taken the byte stream sent to it.
//
// A phone is there while it answers its pings within `timeout`. A ping that had to wait behind
// queued frames is the exception: a phone reading slowly cannot answer it earlier, so its time
// counts from when the phone's side took the ping, and until then the phone only has to keep
// taking bytes that waited. Up to `pingDeliveryTimeout` in all, so that a phone that only
// pretends to read (taking a trickle of bytes and answering nothing) cannot hold its queue for
// hours.
//
// Positions and counts are bytes of the stream to the phone, in whatever units the caller keeps
// them (kernel-acknowledged bytes, or bytes handed to the kernel), as long as they are the same
// throughout. Times are milliseconds on any steady clock. Plain logic: no sockets, no timers.
class Liveness {
public:
    using ms = std::chrono::milliseconds;

    Liveness(ms timeout, ms pingDeliveryTimeout, qint64 now);

    // The answer to the ping in flight came: nothing is outstanding any more.
    void answered(qint64 now);
    // A ping was sent; its last byte is at `endPosition` of the stream, and `bytesAhead` waited in
    // front of it.
    void pingSent(qint64 endPosition, qint64 bytesAhead, qint64 now);
    bool pingInFlight() const { return m_pingEnd.has_value(); }

    // The keepalive tick: `taken` is how much of the stream the phone's side has taken so far,
    // `waiting` how much more has been sent and not taken. False when the phone is gone.
    bool stillThere(qint64 taken, qint64 waiting, qint64 now);

private:
    const qint64 m_timeout;
    const qint64 m_pingDeliveryTimeout;
    qint64 m_lastAnswer;
    qint64 m_lastProgress;
    qint64 m_lastTaken = 0;
    qint64 m_lastWaiting = 0;
    std::optional<qint64> m_pingEnd;
    bool m_pingWaited = false;
    qint64 m_pingSentAt = 0;
    qint64 m_pingNotTakenAt = 0; // the last time the ping was seen still on its way
    std::optional<qint64> m_pingTakenAt;
};

} // namespace glasswing::peer
