#include "platform/peer/Connection.h"

#include "platform/peer/ControlMessage.h"
#include "platform/peer/KernelSendQueue.h"
#include "platform/peer/WebRequest.h"
#include "platform/peer/WebSite.h"

#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtEndian>

Q_LOGGING_CATEGORY(lcConnection, "glasswing.peer.connection")

namespace glasswing::peer {

namespace {
constexpr std::chrono::milliseconds kCloseGrace{2000};
constexpr std::chrono::milliseconds kDrainCheck{20};
// The longest WebSocket frame header (opcode, 64-bit length, mask).
constexpr qint64 kFrameHeaderBytes = 14;
// More than any phone needs: Qt itself splits a message into frames of 512 KiB.
constexpr int kMaxFramesPerMessage = 1024;
// Outgoing messages go in fragments of this much: large enough that framing and the turns of the
// event loop cost little, small enough to stay in the caches while being encrypted.
constexpr qint64 kSliceBytes = 256 * 1024;
// A stream record's header: its kind and a 32-bit length.
constexpr qint64 kRecordHeaderBytes = 5;
constexpr char kRecordControl = 1;
constexpr char kRecordFrame = 2;
constexpr char kRecordKeepalive = 3;
constexpr char kRecordClose = 4;
// A browser's code: letters and digits that no one mistakes for another when read off a screen.
constexpr char kCodeAlphabet[] = "ACDEFGHJKMNPQRTUVWXY3479";
constexpr int kCodeLength = 4;

QByteArray recordHeader(char kind, qint64 payloadBytes)
{
    QByteArray header(kRecordHeaderBytes, Qt::Uninitialized);
    header[0] = kind;
    qToBigEndian(quint32(payloadBytes), header.data() + 1);
    return header;
}

// The header of an unmasked server-to-client frame (RFC 6455, section 5.2).
QByteArray frameHeader(bool first, bool last, qint64 payloadBytes)
{
    QByteArray header;
    header.append(char((last ? 0x80 : 0x00) | (first ? 0x2 : 0x0))); // binary, or its continuation
    if (payloadBytes < 126) {
        header.append(char(payloadBytes));
    } else if (payloadBytes <= 0xffff) {
        header.append(char(126));
        header.append(char(payloadBytes >> 8)).append(char(payloadBytes));
    } else {
        header.append(char(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            header.append(char(quint64(payloadBytes) >> shift));
    }
    return header;
}
} // namespace

Connection::Connection(qintptr socketDescriptor, const QSslConfiguration& tls, const PeerLimits& limits,
                       ConnectionOwner* owner, std::shared_ptr<const WebSite> site)
    : m_limits(limits)
    , m_owner(owner)
    , m_site(std::move(site))
{
    if (m_site) {
        for (int i = 0; i < kCodeLength; ++i)
            m_code += QLatin1Char(kCodeAlphabet[QRandomGenerator::global()->bounded(int(sizeof kCodeAlphabet) - 1)]);
    }
    m_stageTimer.setSingleShot(true);
    connect(&m_stageTimer, &QTimer::timeout, this, &Connection::onStageTimeout);
    connect(&m_keepaliveTimer, &QTimer::timeout, this, &Connection::onKeepalive);
    m_drainTimer.setSingleShot(true);
    connect(&m_drainTimer, &QTimer::timeout, this, &Connection::updateBacklog);

    m_tls = new QSslSocket(this);
    // Until the phone has joined, nothing it sends may grow memory past a control message (on the
    // web port: a request's head and an invitation as its body).
    m_tls->setReadBufferSize(m_site ? m_limits.maxRequestHeadBytes + m_limits.maxControlMessageBytes
                                    : m_limits.maxControlMessageBytes);
    connect(m_tls, &QSslSocket::encrypted, this, &Connection::onEncrypted);
    connect(m_tls, &QSslSocket::disconnected, this, &Connection::finish);
    connect(m_tls, &QSslSocket::encryptedBytesWritten, this, [this](qint64 bytes) {
        m_bytesWritten += bytes;
        writeNextSlice();
        updateBacklog();
    });
    // The socket has encrypted what it was given.
    connect(m_tls, &QSslSocket::bytesWritten, this, &Connection::writeNextSlice);
    // Whatever the stage, a socket or TLS error ends the connection: after a forged record or a
    // fatal alert nothing more can be read or written on it.
    connect(m_tls, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (m_stage == Stage::Closed)
            return;
        qCDebug(lcConnection) << "closing:" << error << m_tls->errorString();
        m_tls->abort();
        finish();
    });
    if (!m_tls->setSocketDescriptor(socketDescriptor)) {
        QMetaObject::invokeMethod(this, &Connection::finish, Qt::QueuedConnection);
        return;
    }
    m_tls->setSslConfiguration(tls);
    // Frames are latency-bound: the tail of each must not wait for the previous one's ACK.
    m_tls->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    startStage(Stage::Handshaking, m_limits.tlsHandshakeTimeout);
    m_tls->startServerEncryption();
}

Connection::~Connection()
{
    // The sockets go before the messages: they may hold slices of them by reference.
    while (!children().isEmpty())
        delete children().constFirst();
}

void Connection::startStage(Stage stage, PeerLimits::ms limit)
{
    m_stage = stage;
    m_stageTimer.start(limit);
}

void Connection::onEncrypted()
{
    if (!m_site) {
        startStage(Stage::Upgrading, m_limits.upgradeTimeout);
        startUpgrade();
        return;
    }
    // The request is looked at where it lies, in the socket: a WebSocket upgrade is then read from
    // there by the same parser as the app's. Head (and body) come within the upgrade's time.
    startStage(Stage::Requesting, m_limits.upgradeTimeout);
    connect(m_tls, &QSslSocket::readyRead, this, &Connection::onRequestBytes);
    onRequestBytes();
}

void Connection::onRequestBytes()
{
    if (m_stage != Stage::Requesting)
        return;
    const qint64 available = m_tls->bytesAvailable();
    if (m_streamHeadBytes < 0) {
        const QByteArray seen = m_tls->peek(m_limits.maxRequestHeadBytes);
        const qsizetype end = seen.indexOf("\r\n\r\n");
        if (end < 0) {
            if (available >= m_limits.maxRequestHeadBytes)
                respond(WebSite::errorAnswer(
                    431, QStringLiteral("the request head holds at most %1 bytes").arg(m_limits.maxRequestHeadBytes)));
            return;
        }
        QString why;
        const std::optional<WebRequest> request = WebRequest::parse(seen.left(end + 4), &why);
        if (!request) {
            qCDebug(lcConnection) << "web request refused:" << why;
            respond(WebSite::errorAnswer(400, why));
            return;
        }
        const WebSite::Route route = m_site->route(*request);
        switch (route.kind) {
        case WebSite::Route::Kind::Answer:
            if (route.status != 200)
                qCDebug(lcConnection) << "web request answered" << route.status << request->method << request->target;
            respond(route.answer);
            return;
        case WebSite::Route::Kind::WebSocket:
            // The head stays in the socket for the upgrade's own parser, within the same time.
            disconnect(m_tls, &QSslSocket::readyRead, this, &Connection::onRequestBytes);
            m_stage = Stage::Upgrading;
            startUpgrade();
            return;
        case WebSite::Route::Kind::Stream:
            m_streamHeadBytes = end + 4;
            m_streamBodyBytes = route.bodyBytes;
            break;
        }
    }
    if (available < m_streamHeadBytes + m_streamBodyBytes)
        return;
    m_tls->skip(m_streamHeadBytes);
    const QByteArray body = m_tls->read(m_streamBodyBytes);
    // A stream is one way: nothing may follow the invitation, not even in the same packet.
    if (m_tls->bytesAvailable() > 0) {
        respond(WebSite::errorAnswer(400, QStringLiteral("bytes after the invitation")));
        return;
    }
    startStream(body);
}

void Connection::respond(const QByteArray& answer)
{
    disconnect(m_tls, &QSslSocket::readyRead, this, &Connection::onRequestBytes);
    // Whatever else the browser sends is read and dropped: a socket closed with unread bytes
    // resets the connection, and the answer with it.
    connect(m_tls, &QSslSocket::readyRead, this, [this] { m_tls->skip(m_tls->bytesAvailable()); });
    startStage(Stage::Responding, m_limits.upgradeTimeout);
    m_tls->write(answer);
    m_tls->disconnectFromHost();
}

void Connection::startStream(const QByteArray& body)
{
    disconnect(m_tls, &QSslSocket::readyRead, this, &Connection::onRequestBytes);
    QString error;
    const std::optional<ControlMessage> message = ControlMessage::parse(body, &error);
    if (!message || message->type != ControlMessage::Type::Invitation) {
        respond(WebSite::errorAnswer(400, message ? QStringLiteral("expected an invitation") : error));
        return;
    }
    m_transport = Transport::Stream;
    // A stream is one way: the browser has nothing more to send on it.
    connect(m_tls, &QSslSocket::readyRead, this, [this] {
        if (m_tls->bytesAvailable() > 0 && m_stage != Stage::Closed)
            refuse(QStringLiteral("unexpected bytes after the invitation"));
    });
    m_tls->write(WebSite::streamHead());
    sendControl(ControlMessage::hello(m_site->macName(), m_code).serialize());
    m_clock.start();
    m_liveness.emplace(m_limits.keepaliveTimeout, m_limits.pingDeliveryTimeout, m_clock.elapsed());
    m_keepaliveTimer.start(m_limits.keepaliveInterval);
    startStage(Stage::AwaitingAnswer, m_limits.answerTimeout);
    if (m_owner)
        m_owner->connectionInvited(this, message->name, message->context);
}

void Connection::sendControl(const QByteArray& json)
{
    if (m_transport == Transport::Stream)
        writeRecord(kRecordControl, json);
    else
        m_webSocket->sendTextMessage(QString::fromUtf8(json));
}

void Connection::writeRecord(char kind, const QByteArray& payload)
{
    m_tls->write(recordHeader(kind, payload.size()) + payload);
}

void Connection::startUpgrade()
{
    // A server object of its own per connection, only for its handshake parser: the upgraded
    // socket then comes back from it with no doubt about which connection it is.
    m_upgrader = new QWebSocketServer(QStringLiteral("Glasswing"), QWebSocketServer::NonSecureMode, this);
    m_upgrader->setHandshakeTimeout(m_limits.upgradeTimeout);
    connect(m_upgrader, &QWebSocketServer::newConnection, this, &Connection::onUpgraded);
    m_upgrader->handleConnection(m_tls);
}

void Connection::onUpgraded()
{
    m_webSocket = m_upgrader->nextPendingConnection();
    if (!m_webSocket)
        return;
    m_webSocket->setParent(this);
    // The WebSocket uses the TLS socket until its own destructor has run, so it must own it.
    m_tls->setParent(m_webSocket);
    limitIncoming(m_limits.maxControlMessageBytes);
    connect(m_webSocket, &QWebSocket::textFrameReceived, this,
            [this](const QString& frame, bool isLastFrame) { onFrame(frame.toUtf8().size(), isLastFrame); });
    connect(m_webSocket, &QWebSocket::binaryFrameReceived, this,
            [this](const QByteArray& frame, bool isLastFrame) { onFrame(frame.size(), isLastFrame); });
    connect(m_webSocket, &QWebSocket::textMessageReceived, this, &Connection::onText);
    connect(m_webSocket, &QWebSocket::binaryMessageReceived, this, &Connection::onBinary);
    connect(m_webSocket, &QWebSocket::disconnected, this, &Connection::finish);
    connect(m_webSocket, &QWebSocket::pong, this, [this](quint64, const QByteArray& payload) {
        // Only the answer to the ping in flight counts: a pong sent unasked proves no reading.
        if (m_liveness && m_liveness->pingInFlight() && payload == m_pingPayload)
            m_liveness->answered(m_clock.elapsed());
    });
    // The WebSocket answers each ping by queueing a pong, on its own, while it reads; a look
    // queued behind its reading sees them.
    connect(m_tls, &QSslSocket::readyRead, this, &Connection::updateBacklog, Qt::QueuedConnection);
    m_clock.start();
    m_liveness.emplace(m_limits.keepaliveTimeout, m_limits.pingDeliveryTimeout, m_clock.elapsed());
    m_keepaliveTimer.start(m_limits.keepaliveInterval);
    startStage(Stage::AwaitingInvitation, m_limits.invitationTimeout);
    // A browser is told who it is talking to, and its code, before it invites.
    if (m_site)
        sendControl(ControlMessage::hello(m_site->macName(), m_code).serialize());
}

void Connection::limitIncoming(qint64 messageBytes)
{
    m_maxIncomingMessageBytes = messageBytes;
    m_webSocket->setMaxAllowedIncomingMessageSize(quint64(messageBytes));
    m_webSocket->setMaxAllowedIncomingFrameSize(quint64(messageBytes));
    // Qt takes bytes from the kernel only this far ahead of the WebSocket layer, so a phone that
    // sends faster than frames are parsed fills its own buffers, not ours. The WebSocket layer
    // waits for a frame's whole payload, so one frame and its header must fit.
    m_tls->setReadBufferSize(messageBytes + kFrameHeaderBytes);
}

void Connection::onFrame(qint64 bytes, bool isLastFrame)
{
    // The WebSocket layer counts a text message in UTF-16 units and does not bound the number of
    // frames: a message of empty frames would never end. Count bytes and frames here.
    m_incomingMessageBytes += bytes;
    ++m_incomingMessageFrames;
    if (m_incomingMessageBytes > m_maxIncomingMessageBytes) {
        qCDebug(lcConnection) << "closing: message over" << m_maxIncomingMessageBytes << "bytes";
        return close(QWebSocketProtocol::CloseCodeTooMuchData, QStringLiteral("message too big"));
    }
    if (m_incomingMessageFrames > kMaxFramesPerMessage)
        return refuse(QStringLiteral("more than %1 frames in one message").arg(kMaxFramesPerMessage));
    if (isLastFrame) {
        m_incomingMessageBytes = 0;
        m_incomingMessageFrames = 0;
    }
}

void Connection::onText(const QString& text)
{
    if (m_stage == Stage::Closed)
        return;
    QString error;
    const std::optional<ControlMessage> message = ControlMessage::parse(text.toUtf8(), &error);
    if (!message) {
        refuse(error);
        return;
    }
    switch (m_stage) {
    case Stage::AwaitingInvitation:
        if (message->type != ControlMessage::Type::Invitation)
            return refuse(QStringLiteral("expected an invitation"));
        // An invitation nobody answers expires, so that it cannot hold a pending slot for good.
        startStage(Stage::AwaitingAnswer, m_limits.answerTimeout);
        if (m_owner)
            m_owner->connectionInvited(this, message->name, message->context);
        return;
    case Stage::AwaitingJoin:
        if (message->type != ControlMessage::Type::Joined)
            return refuse(QStringLiteral("expected joined"));
        m_stageTimer.stop();
        m_stage = Stage::Joined;
        limitIncoming(m_limits.maxIncomingDataMessageBytes);
        Q_EMIT leftPending();
        if (m_owner)
            m_owner->connectionJoined(this);
        return;
    case Stage::AwaitingAnswer:
    case Stage::Joined:
        return refuse(QStringLiteral("unexpected control message"));
    case Stage::Handshaking:
    case Stage::Requesting:
    case Stage::Responding:
    case Stage::Upgrading:
    case Stage::Closed:
        return;
    }
}

void Connection::onBinary(const QByteArray& data)
{
    if (m_stage == Stage::Closed)
        return;
    if (m_stage != Stage::Joined)
        return refuse(QStringLiteral("data before joining"));
    if (m_owner)
        m_owner->connectionReceived(this, data);
}

void Connection::accept(ConnectionOwner* newOwner, const QString& macName)
{
    if (m_stage != Stage::AwaitingAnswer)
        return;
    m_owner = newOwner;
    sendControl(ControlMessage::accept(macName).serialize());
    if (m_transport == Transport::Stream) {
        // A stream cannot answer: the phone has joined once it is told.
        m_stageTimer.stop();
        m_stage = Stage::Joined;
        Q_EMIT leftPending();
        if (m_owner)
            m_owner->connectionJoined(this);
        updateBacklog();
        return;
    }
    startStage(Stage::AwaitingJoin, m_limits.joinTimeout);
    updateBacklog();
}

void Connection::decline()
{
    if (m_stage != Stage::AwaitingAnswer)
        return;
    sendControl(ControlMessage::decline().serialize());
    close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("declined"));
}

void Connection::sendBinary(const QByteArray& data)
{
    if (!sending())
        return;
    m_outgoing.push_back(data);
    m_outgoingBytes += data.size()
        + (m_transport == Transport::Stream ? kRecordHeaderBytes : (data.size() / kSliceBytes + 1) * kFrameHeaderBytes);
    writeNextSlice();
    updateBacklog();
}

bool Connection::sending() const
{
    // Once a close frame (or record) has gone, nothing may follow it.
    if (m_transport == Transport::Stream)
        return m_stage == Stage::Joined && !m_streamClosing && m_tls->state() == QAbstractSocket::ConnectedState;
    return m_stage == Stage::Joined && m_webSocket->state() == QAbstractSocket::ConnectedState;
}

void Connection::writeNextSlice()
{
    // Once the socket has encrypted the last slice, the message it came from is ours no longer:
    // let it go now rather than when the next one is done, or a large frame would be held until
    // a newer one had been read beside it.
    if (m_tls->bytesToWrite() == 0)
        m_lastHandedOver = QByteArray();
    if (!sending() || m_outgoing.empty())
        return;
    // Not before the socket has encrypted the last slice (slices are referenced, not copied, so
    // their message must outlive them there) and handed most of it to the kernel.
    if (m_tls->bytesToWrite() > 0 || m_tls->encryptedBytesToWrite() >= kSliceBytes)
        return;
    const QByteArray& message = m_outgoing.front();
    const qint64 bytes = std::min(kSliceBytes, message.size() - m_outgoingOffset);
    const bool first = m_outgoingOffset == 0;
    const bool last = m_outgoingOffset + bytes == message.size();
    if (m_transport == Transport::Stream) {
        // One record per message; its payload goes in slices like a WebSocket message's fragments.
        if (first)
            m_tls->write(recordHeader(kRecordFrame, message.size()));
        m_outgoingBytes -= first ? kRecordHeaderBytes : 0;
    } else {
        m_tls->write(frameHeader(first, last, bytes));
        m_outgoingBytes -= kFrameHeaderBytes;
    }
    if (bytes > 0)
        m_tls->write(QByteArray::fromRawData(message.constData() + m_outgoingOffset, bytes));
    m_outgoingOffset += bytes;
    m_outgoingBytes -= bytes;
    if (last) {
        // The previous one's slices are gone from the socket (it had no bytes to write).
        m_lastHandedOver = std::move(m_outgoing.front());
        m_outgoing.pop_front();
        m_outgoingOffset = 0;
        if (m_outgoing.empty())
            m_outgoingBytes = 0;
    }
}

qint64 Connection::socketBacklog() const
{
    return m_tls->bytesToWrite() + m_tls->encryptedBytesToWrite()
        + kernelUnacknowledgedBytes(m_tls->socketDescriptor());
}

qint64 Connection::backlog() const
{
    return socketBacklog() + m_outgoingBytes;
}

void Connection::updateBacklog()
{
    // A file being answered is bounded by the page's own size and the stage's time.
    if (m_stage == Stage::Closed || m_stage == Stage::Responding)
        return;
    // Before joining only small control messages and pongs are due. After it, the owner keeps
    // frames within the queue cap; the allowance on top is for framing, pings and pongs.
    const qint64 bound = m_stage == Stage::Joined ? m_limits.maxOutboundQueueBytes + m_limits.maxPendingOutboundBytes
                                                  : m_limits.maxPendingOutboundBytes;
    const qint64 waiting = backlog();
    if (waiting > bound) {
        qCDebug(lcConnection) << "closing: the phone does not read what is sent to it;" << waiting << "bytes wait";
        // A close frame would only queue behind the rest.
        if (m_webSocket)
            m_webSocket->abort();
        else
            m_tls->abort();
        finish();
        return;
    }
    if (m_owner && m_stage == Stage::Joined) {
        m_owner->connectionBacklogChanged(this, waiting);
        if (waiting > 0 && m_tls->encryptedBytesToWrite() == 0)
            m_drainTimer.start(kDrainCheck);
    }
}

void Connection::close(QWebSocketProtocol::CloseCode code, const QString& reason)
{
    if (m_stage == Stage::Closed)
        return;
    if (m_webSocket) {
        m_webSocket->close(code, reason);
    } else if (m_transport == Transport::Stream && !m_streamClosing) {
        // As a WebSocket close frame's payload: the code, then the reason cut to fit one (123 bytes).
        QByteArray payload(2, Qt::Uninitialized);
        qToBigEndian(quint16(code), payload.data());
        payload += reason.toUtf8().left(123);
        m_streamClosing = true;
        // A record can only follow a whole one: the rest of a frame already begun goes first, as
        // long as that is little; otherwise the browser is cut off, as on a lost connection.
        const qint64 rest
            = m_outgoing.empty() || m_outgoingOffset == 0 ? 0 : m_outgoing.front().size() - m_outgoingOffset;
        if (rest > 4 * kSliceBytes) {
            m_tls->abort();
        } else {
            if (rest > 0) {
                // Every earlier slice has been encrypted (the next is written only then), so the
                // message may now stand in for the one handed over last.
                m_lastHandedOver = m_outgoing.front();
                m_tls->write(QByteArray::fromRawData(m_lastHandedOver.constData() + m_outgoingOffset, rest));
            }
            m_outgoing.clear();
            m_outgoingOffset = 0;
            m_outgoingBytes = 0;
            writeRecord(kRecordClose, payload);
            m_tls->disconnectFromHost();
        }
    } else {
        m_tls->abort();
    }
    finish();
}

void Connection::refuse(const QString& reason)
{
    qCDebug(lcConnection) << "closing: protocol error:" << reason;
    close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
}

void Connection::onStageTimeout()
{
    qCDebug(lcConnection) << "closing: time-out in stage" << int(m_stage);
    close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("time-out"));
}

void Connection::onKeepalive()
{
    const qint64 now = m_clock.elapsed();
    // How far the phone's side has taken the stream: acknowledged by its kernel where ours can
    // tell, otherwise handed to our kernel.
    const qint64 taken = kernelAcknowledgedBytes(m_tls->socketDescriptor()).value_or(m_bytesWritten);
    const qint64 waiting = backlog();
    // A stream's keepalive record is answered by the browser's TCP stack: once it has acknowledged
    // every byte up to the record's end.
    if (m_transport == Transport::Stream && m_liveness->pingInFlight() && taken >= m_streamKeepaliveEnd)
        m_liveness->answered(now);
    if (!m_liveness->stillThere(taken, waiting, now)) {
        qCDebug(lcConnection) << "closing: keepalive time-out;" << waiting << "bytes wait";
        if (m_webSocket)
            m_webSocket->abort();
        else
            m_tls->abort();
        finish();
        return;
    }
    if (m_liveness->pingInFlight())
        return;
    if (m_transport == Transport::Stream) {
        // Records do not interleave: within a frame, the frame's own bytes show the browser alive,
        // and the keepalive comes at the next turn after it.
        if (m_outgoingOffset != 0 || m_streamClosing)
            return;
        writeRecord(kRecordKeepalive, {});
        // Where the record ends, in encrypted bytes: no further than this, since encryption
        // only adds. Reckoned short, so that the browser is never held to bytes it cannot have.
        m_streamKeepaliveEnd = taken + socketBacklog();
        m_liveness->pingSent(m_streamKeepaliveEnd, waiting, now);
        updateBacklog();
        return;
    }
    m_pingPayload = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    m_webSocket->ping(m_pingPayload);
    // Where the ping ends in the stream: behind what the socket holds, ahead of messages not yet
    // handed to it. Bytes not yet encrypted grow a little on the way (TLS records): reckoned
    // generously, so that the phone is never held to a ping it cannot have.
    const qint64 plain = m_tls->bytesToWrite();
    m_liveness->pingSent(taken + socketBacklog() + plain / 256 + kFrameHeaderBytes, waiting, now);
    updateBacklog();
}

void Connection::finish()
{
    if (m_stage == Stage::Closed)
        return;
    const bool wasPending = m_stage != Stage::Joined;
    m_stage = Stage::Closed;
    // The socket may still hold the slices written last; the rest will never go.
    while (m_outgoing.size() > 1)
        m_outgoing.pop_back();
    m_outgoingBytes = 0;
    m_stageTimer.stop();
    m_keepaliveTimer.stop();
    m_drainTimer.stop();
    ConnectionOwner* owner = m_owner;
    m_owner = nullptr;
    if (owner)
        owner->connectionClosed(this);
    if (wasPending)
        Q_EMIT leftPending();
    // Let a close frame (or a decline) reach the phone before the socket goes; a phone that does
    // not close its side is cut off after a short grace.
    if (m_tls->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    connect(m_tls, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
    QTimer::singleShot(kCloseGrace, this, [this] {
        m_tls->abort();
        deleteLater();
    });
}

} // namespace glasswing::peer
