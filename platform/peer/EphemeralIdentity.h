#pragma once

#include <QSslCertificate>
#include <QSslKey>

namespace glasswing::peer {

// A TLS identity made afresh at each start: a P-256 key and a self-signed certificate for it.
// Phones do not verify it (the link has no security identity); it exists so that every byte on
// the wire is encrypted.
struct EphemeralIdentity {
    QSslCertificate certificate;
    QSslKey privateKey;

    // Never fails short of an OpenSSL that cannot make keys, which ends the program: without
    // encryption no phone may connect.
    static EphemeralIdentity generate(const QString& commonName);
};

} // namespace glasswing::peer
