#pragma once

#include <QByteArray>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <chrono>

namespace glasswing::peer {

// The web viewer's TLS identity: a P-256 key and a self-signed server certificate for it, kept in
// one PEM file (key, then certificate) so that a browser that once went past its warning for this
// certificate is not warned again.
//
// `loadOrMake` reads the file and keeps what it finds while it is sound: both parts there, the
// certificate matching the key and valid for more than `kRenewBefore`. Otherwise, or when asked
// to renew, it makes a new identity and stores it: the folder is made readable by the user alone
// (0700), the file written beside its place (0600), flushed and renamed over the old one, so that
// a failed write (a full disk, a read-only folder) leaves the old file as it was. A new identity
// that cannot be stored is still returned, for this run only, with `stored` false and the reason
// in `problem`.
//
// A plain value; the functions are safe on any thread (they touch only the given file).
struct PersistentIdentity {
    static constexpr std::chrono::hours kValidity{825 * 24};
    static constexpr std::chrono::hours kRenewBefore{30 * 24};

    QSslCertificate certificate;
    QSslKey privateKey;
    bool stored = false; // in the file, as it is now
    bool made = false; // made by this call rather than read
    QString problem; // why the file could not be used or written; empty when all went well

    bool isNull() const { return certificate.isNull() || privateKey.isNull(); }

    // `hostName` gives the certificate's names: HOST.local, HOST, localhost, and the machine's
    // current addresses besides.
    static PersistentIdentity loadOrMake(const QString& filePath, const QString& hostName, bool renew = false);

    // A new identity valid from an hour ago (clocks differ) for `validity`, not stored.
    static PersistentIdentity make(const QString& hostName, std::chrono::seconds validity = kValidity);
    // Writes the identity to `filePath` as described above; false, with `why`, when it could not.
    bool save(const QString& filePath, QString* why = nullptr) const;

    // SHA-256 of the certificate (DER), as 32 bytes: what a user compares with the browser's view.
    QByteArray fingerprint() const;
    // Base64 of the SHA-256 of the certificate's SubjectPublicKeyInfo: a public-key pin, as
    // Chromium's --ignore-certificate-errors-spki-list takes it.
    QByteArray publicKeyPin() const;
};

} // namespace glasswing::peer
