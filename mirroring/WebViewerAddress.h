#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QUrl>

namespace glasswing {

// Where a phone's browser finds the web viewer, as the "Connect a Phone" window shows it: the
// listener's port (0 while it is not running), this computer's host name and addresses (the one
// phones can most likely reach first) and the SHA-256 digest of the listener's certificate (empty
// when there is none). A plain value; whoever runs the listener fills it in.
struct WebViewerAddress {
    QString hostName;
    quint16 port = 0;
    QList<QHostAddress> addresses;
    QByteArray certificateSha256;

    bool operator==(const WebViewerAddress&) const = default;

    bool isRunning() const { return port != 0; }
    // `https://ADDRESS:PORT/`, IPv6 addresses in brackets and without a zone.
    QUrl urlFor(const QHostAddress& address) const;
    // The first address's page, or localhost's when this computer has no address.
    QUrl primaryUrl() const;
    // `https://HOST.local:PORT/`, the multicast DNS name that iPhones resolve; empty without a
    // usable host name.
    QUrl localNameUrl() const;
    // The digest's first `bytes` bytes as upper-case hex pairs joined by colons; empty without one.
    QString fingerprintPrefix(int bytes = 8) const;
};

} // namespace glasswing
