#pragma once

#include <QtGlobal>

#include <optional>

namespace glasswing::peer {

// What the kernel knows of a TCP socket's outgoing bytes. Both read nothing useful where the
// system cannot tell (not Linux, not a TCP socket).

// Bytes written to the socket that the other side has not acknowledged yet, sent or not; 0 when
// unknown.
qint64 kernelUnacknowledgedBytes(qintptr socketDescriptor);

// Bytes the other side has acknowledged since the connection began.
std::optional<qint64> kernelAcknowledgedBytes(qintptr socketDescriptor);

} // namespace glasswing::peer
