#pragma once

#include "support/PeerHarness.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace glasswing::test {

struct RawPhoneOptions {
    QHostAddress source = QHostAddress(QHostAddress::LocalHost);
    QString host = QStringLiteral("127.0.0.1"); // the Mac's address
    // Bytes per second taken from the socket: negative for as fast as they come, 0 for none.
    qint64 readBytesPerSecond = -1;
    bool answerPings = true;
    // Keeps every whole binary message in `binaries` (for small frames only).
    bool keepBinaries = false;
    // The kernel's receive buffer, kept small so that not reading pushes back on the Mac soon.
    int receiveBufferBytes = 64 * 1024;
    // The largest TCP segment the phone takes (0: the system's choice); a Wi-Fi phone's is about 1,400.
    int maxSegmentBytes = 0;
    // The upgrade request, whole; empty for the app's own (`GET /` with the address as Host).
    QByteArray upgradeRequest;
};

// A phone written at the byte level, for behaving as no well-made phone would: flooding pings,
// reading slowly or not at all, connecting from a chosen loopback address, vanishing mid-answer.
// It speaks just enough WebSocket to do so: the upgrade, masked frames out, unmasked frames in.
// Lives on the thread that made it; everything it learns is in its public fields.
class RawPhone : public QObject {
public:
    using Options = RawPhoneOptions;

    explicit RawPhone(quint16 port, const Options& options = {})
        : m_options(options)
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_socket.setSslConfiguration(tls);
        // Qt stops taking bytes from the kernel once this much waits unread.
        m_socket.setReadBufferSize(64 * 1024);
        connect(&m_socket, &QSslSocket::encrypted, this, [this] {
            if (!m_options.upgradeRequest.isEmpty()) {
                m_socket.write(m_options.upgradeRequest);
                return;
            }
            m_socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        });
        connect(&m_socket, &QSslSocket::readyRead, this, [this] {
            if (m_options.readBytesPerSecond < 0)
                pump();
        });
        connect(&m_socket, &QSslSocket::disconnected, this, [this] { disconnected = true; });
        connect(&m_socket, &QSslSocket::errorOccurred, this, [this] {
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                disconnected = true;
        });
        connect(&m_readTimer, &QTimer::timeout, this, &RawPhone::pump);
        m_readTimer.start(5);
        m_clock.start();

        m_socket.bind(m_options.source);
        m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, m_options.receiveBufferBytes);
        if (m_options.maxSegmentBytes > 0)
            ::setsockopt(int(m_socket.socketDescriptor()), IPPROTO_TCP, TCP_MAXSEG, &m_options.maxSegmentBytes,
                         sizeof m_options.maxSegmentBytes);
        m_socket.connectToHostEncrypted(m_options.host, port);
    }

    // Lets go of TLS for good and from now on takes this many bytes a second straight from the TCP
    // connection, undecrypted: a phone that only pretends to read. It never answers a ping again.
    // (Qt's socket is left polling the silent end of a socket pair in its place.)
    void takeRawBytesPerSecond(qint64 rate)
    {
        const int descriptor = int(m_socket.socketDescriptor());
        int pair[2];
        if (m_rawSocket >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return;
        m_rawSocket = ::dup(descriptor);
        ::dup2(pair[0], descriptor);
        ::close(pair[0]);
        m_silentPeer = pair[1];
        m_options.readBytesPerSecond = 0;
        m_rawBytesPerSecond = rate;
        m_tokens = 0;
        m_lastPump = m_clock.nsecsElapsed();
    }
    ~RawPhone() override
    {
        if (m_rawSocket >= 0)
            ::close(m_rawSocket);
        if (m_silentPeer >= 0)
            ::close(m_silentPeer);
    }

    void setReadBytesPerSecond(qint64 rate)
    {
        m_options.readBytesPerSecond = rate;
        m_tokens = 0;
        pump();
    }

    // A text message, as one masked frame.
    void sendText(const QByteArray& text) { sendFrame(0x1, text); }
    void sendPing(const QByteArray& payload = QByteArray(125, 'p')) { sendFrame(0x9, payload); }
    // `fin` false leaves the message open for continuation frames (opcode 0) to follow.
    void sendFrame(int opcode, const QByteArray& payload, bool fin = true)
    {
        QByteArray frame;
        frame.append(char((fin ? 0x80 : 0x00) | opcode));
        if (payload.size() < 126) {
            frame.append(char(0x80 | payload.size()));
        } else if (payload.size() <= 0xFFFF) {
            frame.append(char(0x80 | 126));
            frame.append(char(payload.size() >> 8)).append(char(payload.size() & 0xFF));
        } else {
            frame.append(char(0x80 | 127));
            for (int shift = 56; shift >= 0; shift -= 8)
                frame.append(char((quint64(payload.size()) >> shift) & 0xFF));
        }
        const quint32 key = QRandomGenerator::global()->generate();
        const char* mask = reinterpret_cast<const char*>(&key);
        frame.append(mask, 4);
        for (qsizetype i = 0; i < payload.size(); ++i)
            frame.append(char(payload[i] ^ mask[i % 4]));
        m_socket.write(frame);
    }
    // Bytes straight onto the TCP connection, under TLS (a forged record or alert, say).
    void sendUnderTls(const QByteArray& bytes)
    {
        ::send(int(m_socket.socketDescriptor()), bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    }
    void abort() { m_socket.abort(); }
    QSslSocket& socket() { return m_socket; }

    bool upgraded = false;
    bool disconnected = false;
    QList<QByteArray> texts; // whole text messages from the Mac
    int binaryMessages = 0;
    qint64 binaryPayloadBytes = 0;
    QList<QByteArray> binaryHeads; // the first 8 bytes of each whole binary message, in order
    QList<QByteArray> binaries; // each whole binary message, with `keepBinaries`
    int pings = 0;
    int closeCode = -1; // the first close frame's; -1 until one arrives
    QByteArray closeReason;
    qint64 rawBytesTaken = 0; // undecrypted, see takeRawBytesPerSecond

private:
    void pump()
    {
        if (m_rawSocket >= 0) {
            const qint64 now = m_clock.nsecsElapsed();
            m_tokens = std::min<qint64>(m_tokens + (now - m_lastPump) * m_rawBytesPerSecond / 1000000000,
                                        std::max<qint64>(m_rawBytesPerSecond / 20, 1));
            m_lastPump = now;
            char sink[4096];
            while (m_tokens > 0) {
                const ssize_t got
                    = ::recv(m_rawSocket, sink, size_t(std::min<qint64>(m_tokens, sizeof sink)), MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                    disconnected = true;
                if (got <= 0)
                    break;
                m_tokens -= got;
                rawBytesTaken += got;
            }
            return;
        }
        qint64 allowance = m_socket.bytesAvailable();
        if (m_options.readBytesPerSecond >= 0) {
            const qint64 now = m_clock.nsecsElapsed();
            m_tokens = std::min<qint64>(m_tokens + (now - m_lastPump) * m_options.readBytesPerSecond / 1000000000,
                                        std::max<qint64>(m_options.readBytesPerSecond / 20, 1));
            m_lastPump = now;
            allowance = std::min(allowance, m_tokens);
        }
        if (allowance <= 0)
            return;
        const QByteArray bytes = m_socket.read(allowance);
        m_tokens -= bytes.size();
        m_in.append(bytes);
        parse();
    }

    void parse()
    {
        if (!upgraded) {
            const qsizetype end = m_in.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            upgraded = m_in.startsWith("HTTP/1.1 101");
            m_in.remove(0, end + 4);
        }
        for (;;) {
            if (m_in.size() < 2)
                return;
            const auto* bytes = reinterpret_cast<const uchar*>(m_in.constData());
            qsizetype header = 2;
            quint64 length = bytes[1] & 0x7F;
            if (length == 126) {
                header = 4;
                if (m_in.size() < header)
                    return;
                length = qFromBigEndian<quint16>(bytes + 2);
            } else if (length == 127) {
                header = 10;
                if (m_in.size() < header)
                    return;
                length = qFromBigEndian<quint64>(bytes + 2);
            }
            if (quint64(m_in.size() - header) < length)
                return;
            const bool fin = bytes[0] & 0x80;
            int opcode = bytes[0] & 0x0F;
            if (opcode == 0x2) {
                m_binaryHead = m_in.mid(header, qsizetype(std::min<quint64>(length, 8)));
                m_binary.clear();
            }
            const QByteArray payload = m_in.mid(header, qsizetype(length));
            m_in.remove(0, header + qsizetype(length));
            if (opcode == 0x0)
                opcode = m_fragmentOpcode;
            else if (opcode < 0x8)
                m_fragmentOpcode = opcode;
            switch (opcode) {
            case 0x1:
                m_text += payload;
                if (fin)
                    texts.append(std::exchange(m_text, QByteArray()));
                break;
            case 0x2:
                binaryPayloadBytes += payload.size();
                binaryMessages += fin ? 1 : 0;
                if (m_options.keepBinaries)
                    m_binary += payload;
                if (fin)
                    binaryHeads.append(m_binaryHead);
                if (fin && m_options.keepBinaries)
                    binaries.append(std::exchange(m_binary, QByteArray()));
                break;
            case 0x8:
                if (closeCode < 0) {
                    closeCode = payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 1005;
                    closeReason = payload.mid(2);
                }
                break;
            case 0x9:
                ++pings;
                if (m_options.answerPings)
                    sendFrame(0xA, payload);
                break;
            default:
                break;
            }
        }
    }

    Options m_options;
    QSslSocket m_socket;
    QTimer m_readTimer;
    QElapsedTimer m_clock;
    qint64 m_lastPump = 0;
    qint64 m_tokens = 0;
    qint64 m_rawBytesPerSecond = 0;
    int m_rawSocket = -1;
    int m_silentPeer = -1;
    QByteArray m_in;
    QByteArray m_text;
    QByteArray m_binaryHead;
    QByteArray m_binary;
    int m_fragmentOpcode = 0;
};

// A raw phone that has upgraded and sent its invitation.
inline std::unique_ptr<RawPhone> invitingPhone(PeerHarness& mac, const QString& name,
                                               const RawPhone::Options& options = RawPhone::Options{})
{
    auto phone = std::make_unique<RawPhone>(mac.advertiser.port(), options);
    if (QTest::qWaitFor([&] { return phone->upgraded || phone->disconnected; }, kWait) && phone->upgraded)
        phone->sendText(R"({"type":"invitation","name":")" + name.toUtf8() + R"("})");
    return phone;
}

// Answers the Mac's accept with joined; true once the session has the phone as its only one.
inline bool joinAsOnlyPhone(PeerHarness& mac, RawPhone& phone)
{
    if (!QTest::qWaitFor([&] { return phone.texts.size() == 1; }, kWait))
        return false;
    phone.sendText(R"({"type":"joined"})");
    return QTest::qWaitFor([&] { return mac.session.connectedPeers().size() == 1; }, kWait);
}

} // namespace glasswing::test
