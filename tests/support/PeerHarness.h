#pragma once

#include "platform/peer/Advertiser.h"
#include "platform/peer/Session.h"

#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

namespace glasswing::test {

constexpr int kWait = 10000;

// Runs the event loop until `done`, at most `milliseconds`; unlike QTest::qWaitFor it sees the
// condition as soon as an event makes it true rather than at its next 10 ms step.
inline bool waitFor(const std::function<bool()>& done, int milliseconds = kWait)
{
    QTimer tick; // wakes the loop to look at the time
    tick.start(5);
    for (const QDeadlineTimer deadline(milliseconds); !done();
         QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents)) {
        if (deadline.hasExpired())
            return false;
    }
    return true;
}

// Short times so that time-outs are seen within a test; sizes as shipped.
inline peer::PeerLimits quickLimits()
{
    peer::PeerLimits limits;
    limits.tlsHandshakeTimeout = limits.upgradeTimeout = limits.invitationTimeout = limits.joinTimeout
        = std::chrono::milliseconds(1500);
    limits.keepaliveInterval = std::chrono::milliseconds(200);
    limits.keepaliveTimeout = std::chrono::milliseconds(1200);
    return limits;
}

// One event a delegate heard, in a form tests can compare.
struct PeerEvent {
    QString what; // "invited", "connecting", "connected", "not connected"
    QString name;
    std::optional<QByteArray> context;
    peer::PeerID peer;
};

// A Mac side for tests: an advertiser and a session on loopback, advertising from the start, with
// a delegate that records every event (from the network thread) and answers invitations by a
// policy. Should advertising fail, the port is 0 and no phone can reach it.
class PeerHarness : public peer::SessionDelegate, public peer::AdvertiserDelegate {
public:
    enum class Answer { Accept, Hold };

    explicit PeerHarness(const peer::PeerLimits& limits = quickLimits(), Answer policy = Answer::Accept)
        : answer(policy)
        , session(peer::PeerID(QStringLiteral("Test Mac")), nullptr, peer::EncryptionPreference::Required, limits)
        , advertiser(session.myPeerID(), nullptr, QStringLiteral("Glasswing"), limits)
    {
        session.setDelegate(this);
        advertiser.setDelegate(this);
        advertiser.startAdvertisingPeer();
    }
    ~PeerHarness() override
    {
        advertiser.setDelegate(nullptr);
        session.setDelegate(nullptr);
    }

    QList<PeerEvent> events() const { return locked(m_events); }
    QStringList eventLines() const
    {
        QStringList lines;
        for (const PeerEvent& event : events())
            lines << event.what + QStringLiteral(": ") + event.name;
        return lines;
    }
    int count(const QString& what) const
    {
        return int(std::ranges::count_if(events(), [&](const PeerEvent& event) { return event.what == what; }));
    }
    QList<peer::InvitationHandler> heldHandlers() const { return locked(m_held); }

    std::atomic<Answer> answer;
    peer::Session session;
    peer::Advertiser advertiser;

    void sessionPeerDidChangeState(peer::Session&, const peer::PeerID& peer, peer::SessionState state) override
    {
        static const char* names[] = {"not connected", "connecting", "connected"};
        const std::lock_guard guard(m_lock);
        m_events.append({QString::fromLatin1(names[int(state)]), peer.displayName(), std::nullopt, peer});
    }
    void sessionDidReceiveData(peer::Session&, const QByteArray&, const peer::PeerID&) override { }
    void sessionDidReceiveStream(peer::Session&, QIODevice*, const QString&, const peer::PeerID&) override { }
    void sessionDidStartReceivingResource(peer::Session&, const QString&, const peer::PeerID&,
                                          const peer::ResourceProgress&) override
    {
    }
    void sessionDidFinishReceivingResource(peer::Session&, const QString&, const peer::PeerID&, const QUrl&,
                                           const std::optional<peer::PeerError>&) override
    {
    }
    void advertiserDidReceiveInvitationFromPeer(peer::Advertiser&, const peer::PeerID& peer,
                                                const std::optional<QByteArray>& context,
                                                peer::InvitationHandler handler) override
    {
        const std::lock_guard guard(m_lock);
        m_events.append({QStringLiteral("invited"), peer.displayName(), context, peer});
        if (answer == Answer::Hold)
            m_held.append(handler);
        else
            handler(true, &session);
    }

private:
    template <typename T> T locked(const T& list) const
    {
        const std::lock_guard guard(m_lock);
        return list;
    }

    mutable std::mutex m_lock;
    QList<PeerEvent> m_events;
    QList<peer::InvitationHandler> m_held;
};

// A reference phone process on loopback.
class Phone : public QProcess {
public:
    Phone(quint16 port, const QStringList& arguments)
    {
        start(QStringLiteral(GLASSWING_PHONE_BINARY),
              QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                          QString::number(port)}
                  + arguments);
    }
    ~Phone() override
    {
        kill();
        waitForFinished(5000);
    }
    // Unlike waitForFinished, true also when the phone had already ended.
    bool waitForExit(int milliseconds = kWait) { return state() == NotRunning || waitForFinished(milliseconds); }
    // The messages it has printed so far.
    int messages()
    {
        m_output += readAllStandardOutput();
        return int(m_output.count("\nmessage ") + (m_output.startsWith("message ") ? 1 : 0));
    }

private:
    QByteArray m_output;
};

inline QStringList phoneArguments(const QString& name, const QString& userId)
{
    return {QStringLiteral("--name"), name, QStringLiteral("--user-id"), userId};
}

struct RawPhoneOptions {
    QHostAddress source = QHostAddress(QHostAddress::LocalHost);
    // Keeps every whole binary message in `binaries` (for small frames only).
    bool keepBinaries = false;
    // The kernel's receive buffer, kept small so that not reading pushes back on the Mac soon.
    int receiveBufferBytes = 64 * 1024;
    // The first request, whole ("-": none); empty for the app's own upgrade (`GET /`).
    QByteArray upgradeRequest;
};

// A phone, or a browser, written at the byte level, for behaving as no well-made one would:
// sending any frame, pausing its reading, connecting from a chosen loopback address,
// sending any request. TLS without verifying the Mac, then the request. An answer other than an
// upgrade stays whole in `received`; after an upgrade it speaks just enough WebSocket: masked
// frames out, unmasked frames in. What it learns is in its public fields.
class RawPhone : public QObject {
public:
    using Options = RawPhoneOptions;
    struct Record { // of a stream's body
        int kind = 0;
        QByteArray payload;
    };

    explicit RawPhone(quint16 port, const Options& options = {})
        : m_options(options)
    {
        if (m_options.upgradeRequest.isEmpty())
            m_options.upgradeRequest
                = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_socket.setSslConfiguration(tls);
        // Qt stops taking bytes from the kernel once this much waits unread.
        m_socket.setReadBufferSize(m_options.receiveBufferBytes);
        connect(&m_socket, &QSslSocket::encrypted, this, [this] {
            encrypted = true;
            if (m_options.upgradeRequest != "-")
                m_socket.write(m_options.upgradeRequest);
        });
        connect(&m_socket, &QSslSocket::readyRead, this, &RawPhone::pump);
        connect(&m_socket, &QSslSocket::disconnected, this, [this] { disconnected = true; });
        connect(&m_socket, &QSslSocket::errorOccurred, this,
                [this] { disconnected |= m_socket.state() != QAbstractSocket::ConnectedState; });
        connect(&m_readTimer, &QTimer::timeout, this, &RawPhone::pump);
        m_readTimer.start(5);
        m_socket.bind(m_options.source);
        m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, m_options.receiveBufferBytes);
        m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }
    // A browser sending `request` ("-": nothing at all) from `source`.
    RawPhone(quint16 port, const QByteArray& request,
             const QHostAddress& source = QHostAddress(QHostAddress::LocalHost))
        : RawPhone(port, Options{.source = source, .receiveBufferBytes = 256 * 1024, .upgradeRequest = request})
    {
    }

    // Bytes a second taken from the socket: negative for as fast as they come, 0 for none (no
    // test needs a rate between).
    void setReadBytesPerSecond(qint64 rate)
    {
        Q_ASSERT(rate <= 0);
        m_reading = rate != 0;
        pump();
    }
    void sendText(const QByteArray& text) { sendFrame(0x1, text); }
    // A masked frame; `fin` false leaves the message open for continuation frames (opcode 0).
    void sendFrame(int opcode, const QByteArray& payload, bool fin = true)
    {
        QByteArray frame(1, char((fin ? 0x80 : 0x00) | opcode));
        const int lengthBytes = payload.size() < 126 ? 0 : payload.size() <= 0xFFFF ? 2 : 8;
        frame.append(char(0x80 | (lengthBytes == 0 ? payload.size() : lengthBytes == 2 ? 126 : 127)));
        for (int shift = 8 * lengthBytes - 8; shift >= 0; shift -= 8)
            frame.append(char((quint64(payload.size()) >> shift) & 0xFF));
        const quint32 key = QRandomGenerator::global()->generate();
        const char* mask = reinterpret_cast<const char*>(&key);
        frame.append(mask, 4);
        for (qsizetype i = 0; i < payload.size(); ++i)
            frame.append(char(payload[i] ^ mask[i % 4]));
        m_socket.write(frame);
    }
    void send(const QByteArray& bytes) { m_socket.write(bytes); }
    QSslSocket& socket() { return m_socket; }
    bool waitForClose(int milliseconds = kWait)
    {
        return waitFor([&] { return disconnected; }, milliseconds);
    }

    // The answer's status code; 0 before (or without) one.
    int status() const { return received.startsWith("HTTP/1.1 ") ? received.mid(9, 3).toInt() : 0; }
    QByteArray head() const { return received.left(received.indexOf("\r\n\r\n") + 4); }
    QByteArray body() const { return received.contains("\r\n\r\n") ? received.mid(head().size()) : QByteArray(); }
    // A header of the answer, absent when not sent.
    std::optional<QByteArray> header(const QByteArray& name) const
    {
        const auto lines = head().split('\n');
        const auto line = std::ranges::find_if(
            lines, [&](const QByteArray& l) { return l.toLower().startsWith(name.toLower() + ':'); });
        return line == lines.end() ? std::nullopt : std::optional(line->mid(name.size() + 1).trimmed());
    }
    // The whole records of a stream's body so far; of one `kind` only, unless it is 0.
    QList<Record> records(int kind = 0) const
    {
        QList<Record> list;
        const QByteArray all = body();
        for (qsizetype at = 0; at + 5 <= all.size();) {
            const qsizetype length = qFromBigEndian<quint32>(all.constData() + at + 1);
            if (at + 5 + length > all.size())
                break;
            if (kind == 0 || kind == uchar(all.at(at)))
                list.append(Record{int(uchar(all.at(at))), all.mid(at + 5, length)});
            at += 5 + length;
        }
        return list;
    }
    int countRecords(int kind) const { return int(records(kind).size()); }

    bool encrypted = false;
    bool upgraded = false;
    bool disconnected = false;
    QByteArray received; // everything read before an upgrade, or all of an answer that is none
    QList<QByteArray> texts; // whole text messages from the Mac
    QList<QByteArray> binaryHeads; // the first 8 bytes of each whole binary message, in order
    QList<QByteArray> binaries; // each whole binary message, with `keepBinaries`
    int pings = 0;
    int closeCode = -1; // the first close frame's; -1 until one arrives
    QByteArray closeReason;

private:
    void pump()
    {
        if (!m_reading || m_socket.bytesAvailable() == 0)
            return;
        const QByteArray bytes = m_socket.readAll();
        m_in.append(bytes);
        if (!upgraded) {
            received += bytes;
            const qsizetype end = m_in.indexOf("\r\n\r\n");
            if (end < 0 || !m_in.startsWith("HTTP/1.1 101"))
                return;
            upgraded = true;
            received = m_in.left(end + 4);
            m_in.remove(0, end + 4);
        }
        while (m_in.size() >= 2) {
            const auto* in = reinterpret_cast<const uchar*>(m_in.constData());
            quint64 length = in[1] & 0x7F;
            const qsizetype header = length == 126 ? 4 : length == 127 ? 10 : 2;
            if (m_in.size() < header)
                return;
            if (header > 2)
                length = header == 4 ? qFromBigEndian<quint16>(in + 2) : qFromBigEndian<quint64>(in + 2);
            if (quint64(m_in.size() - header) < length)
                return;
            const bool fin = in[0] & 0x80;
            // A continuation frame (0) goes on with the data message open.
            const int opcode = (in[0] & 0x0F) == 0 ? m_messageOpcode : in[0] & 0x0F;
            const QByteArray payload = m_in.mid(header, qsizetype(length));
            m_in.remove(0, header + qsizetype(length));
            if (opcode == 0x1 || opcode == 0x2) {
                m_messageOpcode = opcode;
                // Of a binary message only the head, unless all is asked for.
                if (opcode == 0x1 || m_message.size() < 8 || m_options.keepBinaries)
                    m_message += payload;
                if (!fin)
                    continue;
                if (opcode == 0x1)
                    texts.append(m_message);
                else
                    binaryHeads.append(m_message.left(8));
                if (opcode == 0x2 && m_options.keepBinaries)
                    binaries.append(m_message);
                m_message.clear();
            } else if (opcode == 0x8 && closeCode < 0) {
                closeCode = payload.size() >= 2 ? qFromBigEndian<quint16>(payload.constData()) : 1005;
                closeReason = payload.mid(2);
            } else if (opcode == 0x9) {
                ++pings;
                sendFrame(0xA, payload);
            }
        }
    }

    Options m_options;
    QSslSocket m_socket;
    QTimer m_readTimer;
    bool m_reading = true;
    QByteArray m_in;
    QByteArray m_message; // the data message open
    int m_messageOpcode = 0;
};

// A raw phone that has upgraded and sent its invitation.
inline std::unique_ptr<RawPhone> invitingPhone(PeerHarness& mac, const QString& name,
                                               const RawPhone::Options& options = {})
{
    auto phone = std::make_unique<RawPhone>(mac.advertiser.port(), options);
    if (waitFor([&] { return phone->upgraded || phone->disconnected; }) && phone->upgraded)
        phone->sendText(R"({"type":"invitation","name":")" + name.toUtf8() + R"("})");
    return phone;
}

// Answers the Mac's accept with joined; true once the session has `peers` phones.
inline bool join(PeerHarness& mac, RawPhone& phone, int peers = 1)
{
    if (!waitFor([&] { return phone.texts.size() == 1; }))
        return false;
    phone.sendText(R"({"type":"joined"})");
    return waitFor([&] { return mac.session.connectedPeers().size() == peers; });
}

// Proves that the Mac still serves: a new phone is let in and joins. Reports through the test
// macros; the caller's test fails with it.
inline void aPhoneCanStillJoin(PeerHarness& mac)
{
    mac.answer = PeerHarness::Answer::Accept;
    const int peers = int(mac.session.connectedPeers().size()) + 1;
    std::unique_ptr<RawPhone> phone = invitingPhone(mac, QStringLiteral("Witness"));
    QVERIFY(join(mac, *phone, peers));
}

} // namespace glasswing::test
