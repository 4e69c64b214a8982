#pragma once

#include <QString>

namespace glasswing::peer {

// An error of the peer link: a domain, a code and details, like the platform's error objects.
struct PeerError {
    enum Code {
        NotConnected = 1, // a peer in the list is not connected (any more)
        MessageTooLarge = 2,
        QueueFull = 3, // a peer's outbound queue is over its cap: it is not keeping up
        InvalidArgument = 4 // no peers given
    };

    static inline const QString kDomain = QStringLiteral("GlasswingPeerLinkErrorDomain");

    int code = 0;
    QString details;

    // `Error Domain=GlasswingPeerLinkErrorDomain Code=1 "…details…"`
    QString description() const
    {
        return QStringLiteral("Error Domain=%1 Code=%2 \"%3\"").arg(kDomain).arg(code).arg(details);
    }
};

} // namespace glasswing::peer
