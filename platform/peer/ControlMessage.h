#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace glasswing::peer {

// The JSON control messages of the phone protocol (PROTOCOL.md). Parsing is kept apart from the
// sockets so that it can be tested byte for byte and fuzzed.
struct ControlMessage {
    enum class Type { Invitation, Joined, Accept, Decline, Hello };

    Type type = Type::Joined;
    QString name; // Invitation: the phone's name; Accept and Hello: the Mac's name
    QString code; // Hello only: the connection's code, shown in the Mac's alert and on the page
    std::optional<QByteArray> context; // Invitation only: absent is distinct from zero bytes

    static ControlMessage invitation(const QString& name, std::optional<QByteArray> context);
    static ControlMessage joined();
    static ControlMessage accept(const QString& macName);
    static ControlMessage decline();
    // The Mac's first message to a browser phone (PROTOCOL.md, section 10).
    static ControlMessage hello(const QString& macName, const QString& code);

    // Compact JSON, as sent in one WebSocket text frame.
    QByteArray serialize() const;

    // Parses one text frame. On failure returns nothing and, when `error` is given, says why in
    // words fit to send back to the phone as the close reason.
    static std::optional<ControlMessage> parse(const QByteArray& frame, QString* error = nullptr);
};

} // namespace glasswing::peer
