#include "platform/peer/KernelSendQueue.h"

#if defined(__linux__)
#include <cstddef>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

namespace glasswing::peer {

qint64 kernelUnacknowledgedBytes(qintptr socketDescriptor)
{
#if defined(__linux__)
    int waiting = 0;
    return ::ioctl(int(socketDescriptor), SIOCOUTQ, &waiting) == 0 ? qint64(waiting) : 0;
#else
    Q_UNUSED(socketDescriptor);
    return 0;
#endif
}

std::optional<qint64> kernelAcknowledgedBytes(qintptr socketDescriptor)
{
#if defined(__linux__)
    // The C library's tcp_info stops short of this count (Linux 4.1); the kernel's own header
    // has it, and an older kernel reports a shorter structure.
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(int(socketDescriptor), IPPROTO_TCP, TCP_INFO, &info, &length) != 0
        || length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return std::nullopt;
    return qint64(info.tcpi_bytes_acked);
#else
    Q_UNUSED(socketDescriptor);
    return std::nullopt;
#endif
}

} // namespace glasswing::peer
