#pragma once

#include "platform/peer/Liveness.h"
#include "platform/peer/PeerLimits.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>
#include <QWebSocketProtocol>

#include <deque>
#include <memory>
#include <optional>

class QSslSocket;
class QWebSocket;
class QWebSocketServer;

namespace glasswing::peer {

class ConnectionOwner;
class WebSite;

// One phone's connection, from the accepted TCP socket to its close: TLS, the WebSocket upgrade,
// the invitation, the answer, the joined message, then data frames.
//
// On the web viewer's port (made with a `site`) the TLS connection first carries one HTTP request,
// read without being taken from the socket: a file of the page is answered and the connection
// closed; `/session` goes on as above through the same upgrade, with the browser told a `hello`
// first; `/stream` takes the invitation from the request's body and sends everything after it as
// records of the answer's body, where a record of its own stands in for each ping (PROTOCOL.md,
// section 10). Either is a browser phone with a code of its own.
//
// Lives on the network thread and is used only there. Every stage has its own time limit, and
// every incoming message is size-limited before it is buffered. It tells its owner (first the
// advertiser, after an accepted invitation the session) what happens, and deletes itself later
// once closed; `closed` is reported exactly once.
class Connection : public QObject {
    Q_OBJECT
public:
    enum class Stage {
        Handshaking,
        Requesting, // web port: reading the request's head (and a stream's body)
        Responding, // web port: a file or an error is on its way, then the connection closes
        Upgrading,
        AwaitingInvitation,
        AwaitingAnswer,
        AwaitingJoin,
        Joined,
        Closed
    };

    // `site` set: a connection to the web viewer's port.
    Connection(qintptr socketDescriptor, const QSslConfiguration& tls, const PeerLimits& limits, ConnectionOwner* owner,
               std::shared_ptr<const WebSite> site = {});
    ~Connection() override;

    Stage stage() const { return m_stage; }
    // A browser phone (on the web viewer's port) rather than the app.
    bool isBrowser() const { return m_site != nullptr; }
    // A browser's code, made for this connection (PROTOCOL.md, section 10); empty for the app.
    const QString& code() const { return m_code; }

    // AwaitingAnswer only. Accept hands the connection to `newOwner` and tells the phone the
    // Mac's name; decline tells the phone and closes.
    void accept(ConnectionOwner* newOwner, const QString& macName);
    void decline();

    // Joined only; queued behind earlier messages. The bytes are shared, not copied.
    void sendBinary(const QByteArray& data);
    // Bytes handed to this connection that the phone has not taken yet: frames, pings, pongs
    // and control messages, with their framing, waiting to be encrypted, encrypted and waiting
    // for the socket, or in the kernel's send queue and not acknowledged.
    qint64 backlog() const;
    // Ends the connection with a close frame carrying `code` and `reason`.
    void close(QWebSocketProtocol::CloseCode code, const QString& reason);
    // Stops reporting to the current owner; the next close reports to nobody.
    void detach() { m_owner = nullptr; }

Q_SIGNALS:
    // Once, when the phone joins or the connection ends, whichever comes first.
    void leftPending();

private:
    // How what follows the invitation travels.
    enum class Transport { WebSocket, Stream };

    void onEncrypted();
    void startUpgrade();
    void onUpgraded();
    // Web port: looks at what has come of the request so far, and acts once it is all there.
    void onRequestBytes();
    // Web port: writes a whole answer and closes once it has gone.
    void respond(const QByteArray& answer);
    // Stream: the invitation in the request's body.
    void startStream(const QByteArray& body);
    void sendControl(const QByteArray& json);
    void writeRecord(char kind, const QByteArray& payload);
    void onText(const QString& text);
    void onBinary(const QByteArray& data);
    void onStageTimeout();
    void onKeepalive();
    // Cuts off a phone that lets more wait for it than its stage allows (it is not reading), and
    // otherwise tells the owner how much waits.
    void updateBacklog();
    // Bounds each incoming message (and frame) to `messageBytes`, and how far ahead Qt reads.
    void limitIncoming(qint64 messageBytes);
    void onFrame(qint64 bytes, bool isLastFrame);
    // Joined, and no close frame sent.
    bool sending() const;
    // Hands the socket the next slice of the message going out, once it has encrypted the last.
    void writeNextSlice();
    // What the TLS socket and the kernel hold for the phone (see `backlog`).
    qint64 socketBacklog() const;
    void startStage(Stage stage, PeerLimits::ms limit);
    void refuse(const QString& reason);
    void finish();

    PeerLimits m_limits;
    ConnectionOwner* m_owner;
    Stage m_stage = Stage::Handshaking;
    const std::shared_ptr<const WebSite> m_site;
    QString m_code;
    Transport m_transport = Transport::WebSocket;
    qint64 m_streamBodyBytes = 0; // Requesting a stream: the invitation's length
    qint64 m_streamHeadBytes = -1; // Requesting a stream: the head's length, once it has come
    bool m_streamClosing = false; // a close record has been written
    qint64 m_streamKeepaliveEnd = 0; // of the keepalive record in flight, in bytes since the start
    QSslSocket* m_tls = nullptr;
    QWebSocketServer* m_upgrader = nullptr;
    QWebSocket* m_webSocket = nullptr;
    QTimer m_stageTimer;
    QTimer m_keepaliveTimer;
    // While only the kernel holds bytes for the phone, nothing signals their leaving: look again.
    QTimer m_drainTimer;
    QElapsedTimer m_clock;
    std::optional<Liveness> m_liveness; // from the upgrade on
    QByteArray m_pingPayload; // of the ping in flight
    // Binary messages not yet wholly handed to the socket; the first from `m_outgoingOffset` on.
    // Each goes out in slices, one WebSocket fragment apiece, referenced rather than copied: the
    // socket then holds no more than a slice, plain or encrypted, and a ping or pong waits behind
    // one slice at most. QWebSocket would copy the whole message twice per phone, then encrypt it
    // all at once into buffers as large again.
    std::deque<QByteArray> m_outgoing;
    qint64 m_outgoingOffset = 0;
    qint64 m_outgoingBytes = 0; // left to hand over, with framing
    // The message whose last slice the socket may still hold by reference.
    QByteArray m_lastHandedOver;
    qint64 m_bytesWritten = 0; // to the kernel, since the connection began
    qint64 m_maxIncomingMessageBytes = 0;
    qint64 m_incomingMessageBytes = 0; // of the message being received, so far
    int m_incomingMessageFrames = 0;
};

// Whoever a connection reports to. Called on the network thread.
class ConnectionOwner {
public:
    virtual ~ConnectionOwner() = default;
    virtual void connectionInvited(Connection* connection, const QString& name,
                                   const std::optional<QByteArray>& context)
        = 0;
    virtual void connectionJoined(Connection* connection) = 0;
    virtual void connectionReceived(Connection* connection, const QByteArray& data) = 0;
    // How much waits for the phone changed (see `Connection::backlog`).
    virtual void connectionBacklogChanged(Connection* connection, qint64 backlog) = 0;
    // The connection has ended (by either side, a time-out or an error); it is deleted later.
    virtual void connectionClosed(Connection* connection) = 0;
};

} // namespace glasswing::peer
