#pragma once

#include <QByteArray>
#include <QSslCertificate>
#include <QSslKey>

#include <openssl/types.h>

#include <chrono>
#include <functional>

namespace glasswing::peer {

// A TLS identity made afresh at each start: a P-256 key and a self-signed certificate for it.
// Phones do not verify it (the link has no security identity); it exists so that every byte on
// the wire is encrypted.
struct EphemeralIdentity {
    QSslCertificate certificate;
    QSslKey privateKey;

    bool isNull() const { return certificate.isNull() || privateKey.isNull(); }

    // Never fails short of an OpenSSL that cannot make keys, which ends the program: without
    // encryption no phone may connect.
    static EphemeralIdentity generate(const QString& commonName);

    // A P-256 key and a self-signed SHA-256 certificate for it, named `commonName` (UTF-8, cut to
    // 64 bytes), valid from an hour ago (clocks differ) for `validity`; `extend`, when given, adds
    // extensions before signing and says whether it could. Qt can load certificates and keys but
    // not make them, so this one piece is written against OpenSSL directly. Ends the program, naming
    // `purpose`, where OpenSSL cannot make them.
    static EphemeralIdentity makeSelfSigned(const QByteArray& commonName, std::chrono::seconds validity,
                                            const char* purpose, const std::function<bool(X509*)>& extend = {});
    // The key and certificate in Qt's types; null where Qt cannot take them.
    static EphemeralIdentity fromOpenSsl(EVP_PKEY* key, X509* certificate);
};

} // namespace glasswing::peer
