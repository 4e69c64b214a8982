// Fan-out benchmark: how long a frame takes from Session::sendData to the last phone holding all
// of it, for 1, 4 and 16 phones (separate glasswing-phone processes on loopback) and frames of
// 100 KiB, 1 MiB and 8 MiB. Prints the median and p99 over the measured frames, this process's
// CPU time per frame, its peak memory, and the machine's AES-GCM speed. A benchmark, not a test:
// it reports figures and judges nothing.
//
// Each case is measured twice with fresh phones: first through the peer link, then against the
// floor, a minimal sender written straight on OpenSSL (blocking handshake, then non-blocking
// SSL_write of one shared buffer, the frame's header and payload built once, to each phone in
// turn; no Qt in the write path). The floor has the work no sender can avoid: one encryption
// per phone and the kernel's share. On loopback that share is large, since the receiving side's
// TCP work is charged to the sender, so the floor already costs several times (here 2.5 to 4.5)
// what AES-GCM alone would; CPU over the floor is the figure that says how much the peer link
// adds. Both negotiate what Qt does with the phone, TLS 1.3 with TLS_AES_256_GCM_SHA384, and
// both count the event loop reading the phones' lines. Peak memory is the peer link's.
//
// Usage: fanout PATH_TO_GLASSWING_PHONE [FRAMES_PER_CASE]

#include "bench/BenchSupport.h"
#include "platform/peer/Advertiser.h"
#include "platform/peer/ControlMessage.h"
#include "platform/peer/EphemeralIdentity.h"
#include "platform/peer/HeapTuning.h"
#include "platform/peer/Session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace glasswing::peer;
using namespace glasswing::bench;

namespace {

// A reference phone on loopback, named by its index.
void startPhone(PhoneProcess& phone, const QString& binary, quint16 port, int index)
{
    phone.start(binary, {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                         QString::number(port), QStringLiteral("--user-id"), QStringLiteral("bench-%1").arg(index),
                         QStringLiteral("--name"), QStringLiteral("Bench Phone %1").arg(index)});
}


struct Figures {
    double medianMs = 0;
    double p99Ms = 0;
    double cpuMsPerFrame = 0;
    double peakMiB = 0;
};

// Sends `frames` frames (after warm-up ones) of `size` bytes with `send` and times each until
// every phone has reported it. Nothing for a failed send or a frame that never arrived.
std::optional<Figures> measure(std::vector<PhoneProcess>& phones, qsizetype size, int frames,
                               const std::function<bool(const QByteArray&)>& send)
{
    QByteArray frame(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(frame.data()), size / 4);
    std::vector<double> latencies;
    double cpu = 0;
    const int warmup = 2;
    for (int n = 0; n < warmup + frames; ++n) {
        frame[0] = char(n); // every frame different
        const size_t expected = phones[0].arrivals.size() + 1;
        const double cpuBefore = cpuSeconds();
        const double sentAt = realtimeSeconds();
        if (!send(frame))
            return std::nullopt;
        const bool arrived = waitUntil(
            [&] {
                return std::all_of(phones.begin(), phones.end(),
                                   [&](const PhoneProcess& p) { return p.arrivals.size() >= expected; });
            },
            60000);
        if (!arrived) {
            std::printf("a frame did not arrive within 60 s; case stopped\n");
            return std::nullopt;
        }
        double last = 0;
        for (const PhoneProcess& phone : phones)
            last = std::max(last, phone.arrivals[expected - 1]);
        if (n >= warmup) {
            latencies.push_back((last - sentAt) * 1000.0);
            cpu += cpuSeconds() - cpuBefore;
        }
    }
    return Figures{percentile(latencies, 0.5), percentile(latencies, 0.99), cpu * 1000.0 / frames, peakMiB()};
}

std::vector<std::optional<Figures>> measurePeerLink(const QString& phoneBinary, int phoneCount,
                                                    const std::vector<qsizetype>& sizes, int frames)
{
    std::vector<std::optional<Figures>> figures(sizes.size());
    PeerLimits limits;
    limits.maxOutboundQueueBytes = 256 * 1024 * 1024;
    Session session(PeerID(QStringLiteral("Bench Mac")), nullptr, EncryptionPreference::Required, limits);
    Advertiser advertiser(session.myPeerID(), nullptr, QStringLiteral("Glasswing"), limits);
    AcceptAll delegate(session);
    session.setDelegate(&delegate);
    advertiser.setDelegate(&delegate);
    advertiser.startAdvertisingPeer();

    std::vector<PhoneProcess> phones(static_cast<size_t>(phoneCount));
    for (int i = 0; i < phoneCount; ++i) {
        // One address may only have a few connections waiting to join: start the phones in
        // batches of that size.
        if (i > 0 && i % limits.maxPendingConnectionsPerAddress == 0)
            waitUntil([&] { return delegate.connected.load() == i; }, 30000);
        startPhone(phones[size_t(i)], phoneBinary, advertiser.port(), i);
    }
    if (waitUntil([&] { return delegate.connected.load() == phoneCount; }, 30000)) {
        for (size_t s = 0; s < sizes.size(); ++s) {
            figures[s] = measure(phones, sizes[s], frames, [&](const QByteArray& frame) {
                const auto error = session.sendData(frame, session.connectedPeers(), SendDataMode::Reliable);
                if (error)
                    std::printf("send failed: %s\n", qPrintable(error->description()));
                return !error;
            });
            if (!figures[s])
                break;
        }
    } else {
        std::printf("%6d phones: only %d joined to the peer link\n", phoneCount, delegate.connected.load());
    }
    for (PhoneProcess& phone : phones)
        phone.stop();
    advertiser.setDelegate(nullptr);
    session.setDelegate(nullptr);
    return figures;
}

template <typename T, void (*Free)(T*)> using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

// The floor's sender: the phone protocol up to `joined` by hand, then binary frames. Blocking
// sockets (with a time limit) until the phones have joined; non-blocking for the frames, so
// that one slow phone does not hold up the others' writes.
class FloorServer {
public:
    FloorServer();
    ~FloorServer();
    FloorServer(const FloorServer&) = delete;
    FloorServer& operator=(const FloorServer&) = delete;

    bool listening() const { return m_listener >= 0; }
    quint16 port() const { return m_port; }
    // Takes `count` phones through TLS, the upgrade, the invitation and `joined`.
    bool join(int count);
    // Writes the whole of `wire`, a complete WebSocket frame, to every phone.
    bool send(const std::vector<unsigned char>& wire);

private:
    struct Phone {
        int socket = -1;
        SSL* ssl = nullptr;
        std::string unread; // read past the end of what was parsed
    };
    bool handshake(Phone& phone);
    static bool readMore(Phone& phone);
    static bool readMessage(Phone& phone, unsigned char opcode, std::string* message);
    static bool writeAll(Phone& phone, const std::string& bytes);

    Owned<SSL_CTX, SSL_CTX_free> m_context;
    int m_listener = -1;
    quint16 m_port = 0;
    std::vector<Phone> m_phones;
};

// A server-to-client frame (FIN, no mask) of `opcode` around `payload`, into `out`.
void buildFrame(unsigned char opcode, const char* payload, size_t size, std::vector<unsigned char>& out)
{
    out.clear();
    out.push_back(0x80 | opcode);
    if (size < 126) {
        out.push_back(static_cast<unsigned char>(size));
    } else if (size <= 0xffff) {
        out.push_back(126);
        for (int shift = 8; shift >= 0; shift -= 8)
            out.push_back(static_cast<unsigned char>(size >> shift));
    } else {
        out.push_back(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<unsigned char>(uint64_t(size) >> shift));
    }
    // Same element type on both sides, so that this is one memmove and not a converting loop.
    const auto* bytes = reinterpret_cast<const unsigned char*>(payload);
    out.insert(out.end(), bytes, bytes + size);
}

FloorServer::FloorServer()
{
    std::signal(SIGPIPE, SIG_IGN); // a phone that went away is an error return, not the end
    const EphemeralIdentity identity = EphemeralIdentity::generate(QStringLiteral("Bench Floor"));
    const QByteArray certificatePem = identity.certificate.toPem();
    const QByteArray keyPem = identity.privateKey.toPem();
    Owned<BIO, BIO_free_all> certificateBio(BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size())));
    Owned<BIO, BIO_free_all> keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())));
    Owned<X509, X509_free> certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    Owned<EVP_PKEY, EVP_PKEY_free> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));

    m_context.reset(SSL_CTX_new(TLS_server_method()));
    if (!certificate || !key || !m_context || !SSL_CTX_set_min_proto_version(m_context.get(), TLS1_3_VERSION)
        || !SSL_CTX_set_ciphersuites(m_context.get(), "TLS_AES_256_GCM_SHA384")
        || SSL_CTX_use_certificate(m_context.get(), certificate.get()) != 1
        || SSL_CTX_use_PrivateKey(m_context.get(), key.get()) != 1) {
        ERR_print_errors_fp(stdout);
        return;
    }

    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(m_listener, 64) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("floor: listen");
        if (m_listener >= 0)
            ::close(m_listener);
        m_listener = -1;
        return;
    }
    m_port = ntohs(address.sin_port);
}

FloorServer::~FloorServer()
{
    for (Phone& phone : m_phones) {
        SSL_free(phone.ssl);
        ::close(phone.socket);
    }
    if (m_listener >= 0)
        ::close(m_listener);
}

bool FloorServer::join(int count)
{
    for (int i = 0; i < count; ++i) {
        pollfd incoming{m_listener, POLLIN, 0};
        if (::poll(&incoming, 1, 30000) != 1) {
            std::printf("floor: only %d phones connected\n", i);
            return false;
        }
        Phone phone;
        phone.socket = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (phone.socket < 0)
            return false;
        const bool joined = handshake(phone);
        m_phones.push_back(std::move(phone));
        if (!joined) {
            std::printf("floor: a phone did not join\n");
            ERR_print_errors_fp(stdout);
            return false;
        }
    }
    for (const Phone& phone : m_phones)
        ::fcntl(phone.socket, F_SETFL, ::fcntl(phone.socket, F_GETFL) | O_NONBLOCK);
    return true;
}

bool FloorServer::handshake(Phone& phone)
{
    // A phone that stalls ends the case instead of hanging the benchmark.
    const timeval limit{30, 0};
    ::setsockopt(phone.socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(phone.socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const int one = 1;
    ::setsockopt(phone.socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // as the peer link does
    phone.ssl = SSL_new(m_context.get());
    if (!phone.ssl || !SSL_set_fd(phone.ssl, phone.socket) || SSL_accept(phone.ssl) != 1)
        return false;

    size_t end;
    while ((end = phone.unread.find("\r\n\r\n")) == std::string::npos) {
        if (phone.unread.size() > 16384 || !readMore(phone))
            return false;
    }
    const std::string request = phone.unread.substr(0, end + 2);
    phone.unread.erase(0, end + 4);
    std::string lowered = request;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string name = "\r\nsec-websocket-key:";
    const size_t at = lowered.find(name);
    if (at == std::string::npos)
        return false;
    const size_t keyStart = request.find_first_not_of(" \t", at + name.size());
    const size_t keyEnd = request.find_last_not_of(" \t", request.find("\r\n", at + name.size()) - 1);
    if (keyStart == std::string::npos || keyEnd == std::string::npos || keyEnd < keyStart)
        return false;
    const std::string keyAndGuid
        = request.substr(keyStart, keyEnd + 1 - keyStart) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    unsigned char acceptKey[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    if (!EVP_Digest(keyAndGuid.data(), keyAndGuid.size(), digest, &digestLength, EVP_sha1(), nullptr))
        return false;
    EVP_EncodeBlock(acceptKey, digest, int(digestLength));
    if (!writeAll(phone,
                  std::string("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Accept: ")
                      + reinterpret_cast<const char*>(acceptKey) + "\r\n\r\n"))
        return false;

    std::string message;
    std::optional<ControlMessage> control;
    if (!readMessage(phone, 0x1, &message) || !(control = ControlMessage::parse(QByteArray::fromStdString(message)))
        || control->type != ControlMessage::Type::Invitation)
        return false;
    const QByteArray accept = ControlMessage::accept(QStringLiteral("Bench Floor")).serialize();
    std::vector<unsigned char> frame;
    buildFrame(0x1, accept.constData(), size_t(accept.size()), frame);
    if (!writeAll(phone, std::string(frame.begin(), frame.end())) || !readMessage(phone, 0x1, &message)
        || !(control = ControlMessage::parse(QByteArray::fromStdString(message)))
        || control->type != ControlMessage::Type::Joined)
        return false;
    return true;
}

bool FloorServer::readMore(Phone& phone)
{
    char buffer[4096];
    const int got = SSL_read(phone.ssl, buffer, sizeof buffer);
    if (got <= 0)
        return false;
    phone.unread.append(buffer, size_t(got));
    return true;
}

bool FloorServer::readMessage(Phone& phone, unsigned char opcode, std::string* message)
{
    // One unfragmented, masked frame of `opcode`; control frames (a ping, say) in between are
    // skipped. Enough for what the reference phone sends before it joins.
    for (;;) {
        const auto need = [&](size_t bytes) {
            while (phone.unread.size() < bytes) {
                if (!readMore(phone))
                    return false;
            }
            return true;
        };
        if (!need(2))
            return false;
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(phone.unread[i]); };
        const bool fin = byte(0) & 0x80;
        const unsigned char frameOpcode = byte(0) & 0x0f;
        if (!(byte(1) & 0x80))
            return false; // a phone's frames are always masked
        uint64_t length = byte(1) & 0x7f;
        size_t header = 2;
        if (length >= 126) {
            const size_t extra = length == 126 ? 2 : 8;
            if (!need(2 + extra))
                return false;
            length = 0;
            for (size_t i = 0; i < extra; ++i)
                length = length << 8 | byte(2 + i);
            header += extra;
        }
        if (length > 16384)
            return false;
        if (!need(header + 4 + length))
            return false;
        const size_t mask = header;
        std::string payload = phone.unread.substr(header + 4, length);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = char(payload[i] ^ phone.unread[mask + i % 4]);
        phone.unread.erase(0, header + 4 + length);
        if (frameOpcode >= 0x8)
            continue;
        if (!fin || frameOpcode != opcode)
            return false;
        *message = std::move(payload);
        return true;
    }
}

bool FloorServer::writeAll(Phone& phone, const std::string& bytes)
{
    // Blocking: SSL_write returns only once all of it is written.
    return SSL_write(phone.ssl, bytes.data(), int(bytes.size())) == int(bytes.size());
}

bool FloorServer::send(const std::vector<unsigned char>& wire)
{
    std::vector<size_t> waiting(m_phones.size());
    for (size_t i = 0; i < waiting.size(); ++i)
        waiting[i] = i;
    std::vector<pollfd> ready;
    while (!waiting.empty()) {
        std::vector<size_t> stillWaiting;
        std::vector<pollfd> waits;
        for (const size_t i : waiting) {
            // Only phones whose socket has room (or that have not been tried yet) are tried.
            const auto polled
                = std::find_if(ready.begin(), ready.end(), [&](const pollfd& p) { return p.fd == m_phones[i].socket; });
            if (polled != ready.end() && polled->revents == 0) {
                stillWaiting.push_back(i);
                waits.push_back(pollfd{polled->fd, polled->events, 0});
                continue;
            }
            // A write cut short must be retried with the same arguments; OpenSSL keeps its place.
            const int written = SSL_write(m_phones[i].ssl, wire.data(), int(wire.size()));
            if (written > 0)
                continue;
            const int error = SSL_get_error(m_phones[i].ssl, written);
            if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
                std::printf("floor: SSL_write failed (%d)\n", error);
                ERR_print_errors_fp(stdout);
                return false;
            }
            stillWaiting.push_back(i);
            waits.push_back(pollfd{m_phones[i].socket, short(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0});
        }
        waiting.swap(stillWaiting);
        if (waiting.empty())
            break;
        if (::poll(waits.data(), nfds_t(waits.size()), 60000) <= 0) {
            std::printf("floor: the phones stopped reading\n");
            return false;
        }
        ready.swap(waits);
    }
    return true;
}

std::vector<std::optional<Figures>> measureFloor(const QString& phoneBinary, int phoneCount,
                                                 const std::vector<qsizetype>& sizes, int frames)
{
    std::vector<std::optional<Figures>> figures(sizes.size());
    FloorServer server;
    if (!server.listening())
        return figures;
    std::vector<PhoneProcess> phones(static_cast<size_t>(phoneCount));
    for (int i = 0; i < phoneCount; ++i)
        startPhone(phones[size_t(i)], phoneBinary, server.port(), i);
    if (server.join(phoneCount)) {
        std::vector<unsigned char> wire;
        for (size_t s = 0; s < sizes.size(); ++s) {
            wire.reserve(size_t(sizes[s]) + 14);
            figures[s] = measure(phones, sizes[s], frames, [&](const QByteArray& frame) {
                // Built once per frame, whatever the number of phones.
                buildFrame(0x2, frame.constData(), size_t(frame.size()), wire);
                return server.send(wire);
            });
            if (!figures[s])
                break;
        }
    }
    for (PhoneProcess& phone : phones)
        phone.stop();
    return figures;
}

QString sizeName(qsizetype size)
{
    return size >= 1024 * 1024 ? QStringLiteral("%1 MiB").arg(size / (1024 * 1024))
                               : QStringLiteral("%1 KiB").arg(size / 1024);
}

} // namespace

int main(int argc, char* argv[])
{
    // As the application does; FANOUT_DEFAULT_HEAP=1 measures glibc's defaults instead.
    if (!qEnvironmentVariableIsSet("FANOUT_DEFAULT_HEAP"))
        keepLargeBuffersInHeap();
    QCoreApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: fanout PATH_TO_GLASSWING_PHONE [FRAMES_PER_CASE]\n");
        return 1;
    }
    const QString phoneBinary = QString::fromLocal8Bit(argv[1]);
    const int frames = argc > 2 ? std::max(20, atoi(argv[2])) : 20;
    const std::vector<qsizetype> sizes = {100 * 1024, 1024 * 1024, 8 * 1024 * 1024};

    std::printf("fan-out over loopback TLS WebSockets, %d frames per case after 2 warm-up frames;\n"
                "floor: the same phones served straight from OpenSSL (see the top of fanout.cpp)\n",
                frames);
    std::printf("                   ------- peer link -------   --------- floor ---------  CPU over   peak RSS\n");
    std::printf("phones      frame  median ms  p99 ms  CPU ms   median ms  p99 ms  CPU ms     floor       MiB\n");
    for (const int phones : {1, 4, 16}) {
        const std::vector<std::optional<Figures>> app = measurePeerLink(phoneBinary, phones, sizes, frames);
        const std::vector<std::optional<Figures>> floor = measureFloor(phoneBinary, phones, sizes, frames);
        for (size_t s = 0; s < sizes.size(); ++s) {
            std::printf("%6d  %9s", phones, qPrintable(sizeName(sizes[s])));
            if (app[s])
                std::printf("  %9.2f  %6.2f  %6.2f", app[s]->medianMs, app[s]->p99Ms, app[s]->cpuMsPerFrame);
            else
                std::printf("  %25s", "(not measured)");
            if (floor[s])
                std::printf("   %9.2f  %6.2f  %6.2f", floor[s]->medianMs, floor[s]->p99Ms, floor[s]->cpuMsPerFrame);
            else
                std::printf("   %25s", "(not measured)");
            if (app[s] && floor[s])
                std::printf("  %7.2fx  %8.1f", app[s]->cpuMsPerFrame / floor[s]->cpuMsPerFrame, app[s]->peakMiB);
            std::printf("\n");
        }
        std::fflush(stdout);
    }

    // The bound below the floor: how fast this machine encrypts with AES-GCM on one core.
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("speed"), QStringLiteral("-seconds"), QStringLiteral("2"), QStringLiteral("-bytes"),
                   QStringLiteral("16384"), QStringLiteral("-evp"), QStringLiteral("aes-256-gcm")});
    if (openssl.waitForFinished(60000)) {
        const QList<QByteArray> lines = openssl.readAllStandardOutput().split('\n');
        for (const QByteArray& line : lines) {
            if (line.startsWith("AES-256-GCM") || line.startsWith("aes-256-gcm"))
                std::printf("openssl speed, AES-256-GCM, 16 KiB blocks: %s (in 1000s of bytes per second)\n",
                            line.simplified().constData());
        }
    } else {
        std::printf("openssl speed did not run\n");
    }
    return 0;
}
