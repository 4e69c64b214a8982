#include "platform/peer/Liveness.h"

namespace glasswing::peer {

namespace {
// Less than this in front of a ping, any phone that reads takes it within a round trip or two.
constexpr qint64 kReadAtOnceBytes = 64 * 1024;
} // namespace

Liveness::Liveness(ms timeout, ms pingDeliveryTimeout, qint64 now)
    : m_timeout(timeout.count())
    , m_pingDeliveryTimeout(pingDeliveryTimeout.count())
    , m_lastAnswer(now)
    , m_lastProgress(now)
{
}

void Liveness::answered(qint64 now)
{
    m_lastAnswer = now;
    m_pingEnd.reset();
    m_pingTakenAt.reset();
}

void Liveness::pingSent(qint64 endPosition, qint64 bytesAhead, qint64 now)
{
    m_pingEnd = endPosition;
    m_pingWaited = bytesAhead > kReadAtOnceBytes;
    m_pingSentAt = now;
    m_pingNotTakenAt = now;
    m_pingTakenAt.reset();
}

bool Liveness::stillThere(qint64 taken, qint64 waiting, qint64 now)
{
    // Only bytes that had to wait count as progress: a ping that a frozen phone's kernel takes
    // into an empty buffer says nothing of the phone.
    if (m_lastWaiting > 0 && taken > m_lastTaken)
        m_lastProgress = now;
    m_lastTaken = taken;
    m_lastWaiting = waiting;

    if (now - m_lastAnswer <= m_timeout)
        return true;
    if (!m_pingEnd)
        return now - m_lastProgress <= m_timeout;
    if (taken < *m_pingEnd) {
        // Still on its way: the phone must keep reading towards it.
        m_pingNotTakenAt = now;
        return now - m_lastProgress <= m_timeout && now - m_pingSentAt <= m_pingDeliveryTimeout;
    }
    // The phone has the ping. One that went straight to it was due long ago; one that waited is
    // due within the time-out of its taking, which happened at the earliest right after it was
    // last seen on its way.
    if (!m_pingWaited)
        return false;
    if (!m_pingTakenAt)
        m_pingTakenAt = m_pingNotTakenAt;
    return now - *m_pingTakenAt <= m_timeout;
}

} // namespace glasswing::peer
