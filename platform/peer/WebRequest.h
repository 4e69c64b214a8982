#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace glasswing::peer {

// The head of one HTTP/1.x request (request line and headers), parsed strictly: what a browser
// sends is accepted, anything ambiguous (bare line feeds, folded or duplicated headers that must
// be single, control characters, a target that is not an absolute path) is refused. Kept apart
// from the sockets so that it can be tested byte for byte.
struct WebRequest {
    QByteArray method;
    QByteArray target; // as sent
    QByteArray path; // the target up to its query, undecoded
    QByteArray version; // "HTTP/1.1" or "HTTP/1.0"
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, values trimmed

    // The value of a header, absent when not sent.
    std::optional<QByteArray> header(const QByteArray& lowerCaseName) const;
    // Whether a comma-separated header holds `token` (case-insensitively), as Upgrade and
    // Connection do.
    bool headerHasToken(const QByteArray& lowerCaseName, const QByteArray& token) const;

    // `head` runs from the request line up to and with the empty line ("\r\n\r\n"). On failure
    // returns nothing and says why in a few words fit to send back.
    static std::optional<WebRequest> parse(const QByteArray& head, QString* why);
};

} // namespace glasswing::peer
