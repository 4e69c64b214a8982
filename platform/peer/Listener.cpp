#include "platform/peer/Listener.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

Q_LOGGING_CATEGORY(lcListener, "glasswing.peer.listener")

namespace glasswing::peer {

namespace {

// A non-blocking listening socket bound to the wildcard address of `family` on `port` (0: any).
int openListeningSocket(int family, int backlog, quint16 port, bool kept)
{
    const int socket = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return -1;
    if (kept) {
        // The closed connections of the last run linger in TIME_WAIT, and keep the port from a
        // socket without this option unless they too were accepted with it; another socket
        // listening on the port still keeps it.
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        // Dual-stack: IPv4 phones arrive as IPv4-mapped addresses on the same socket.
        const int no = 0;
        ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&address);
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_addr = in6addr_any;
        ipv6->sin6_port = htons(port);
        length = sizeof *ipv6;
    } else {
        auto* ipv4 = reinterpret_cast<sockaddr_in*>(&address);
        ipv4->sin_family = AF_INET;
        ipv4->sin_addr.s_addr = htonl(INADDR_ANY);
        ipv4->sin_port = htons(port);
        length = sizeof *ipv4;
    }
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(socket, backlog) != 0) {
        const int error = errno;
        ::close(socket);
        errno = error;
        return -1;
    }
    return socket;
}

} // namespace

Listener::Listener(Accepted accepted, std::chrono::milliseconds retryDelay, QObject* parent)
    : QObject(parent)
    , m_accepted(std::move(accepted))
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(retryDelay);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        m_notifier->setEnabled(true);
        acceptWaiting();
    });
}

Listener::~Listener()
{
    delete m_notifier;
    if (m_socket >= 0)
        ::close(m_socket);
}

bool Listener::listen(int backlog, quint16 port, bool kept)
{
    // A machine without IPv6 still serves IPv4.
    m_socket = openListeningSocket(AF_INET6, backlog, port, kept);
    if (m_socket < 0 && errno != EADDRINUSE)
        m_socket = openListeningSocket(AF_INET, backlog, port, kept);
    if (m_socket < 0) {
        m_portInUse = errno == EADDRINUSE;
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    m_notifier = new QSocketNotifier(m_socket, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Listener::acceptWaiting);
    return true;
}

void Listener::acceptWaiting()
{
    for (;;) {
        const int connection = ::accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            m_failing = false;
            m_accepted(connection);
            continue;
        }
        const int error = errno; // logging below may change errno
        switch (error) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return;
        case EINTR:
        case ECONNABORTED: // gone before it was taken
        case EPROTO:
            continue;
        default:
            // Out of descriptors or memory, most likely: nothing to do but wait for some to be
            // freed, without spinning on a socket that stays readable.
            if (!std::exchange(m_failing, true))
                qCWarning(lcListener) << "cannot take a connection:" << std::strerror(error) << "; retrying";
            m_notifier->setEnabled(false);
            m_retry.start();
            return;
        }
    }
}

} // namespace glasswing::peer
