#include "platform/peer/EphemeralIdentity.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <memory>

namespace glasswing::peer {

namespace {

template <typename T, void (*Free)(T*)> using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

QByteArray readBio(BIO* bio)
{
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(length));
}

} // namespace

EphemeralIdentity EphemeralIdentity::generate(const QString& commonName)
{
    // A new one is made at every start.
    return makeSelfSigned(commonName.toUtf8(), std::chrono::hours(365 * 24), "the TLS identity");
}

EphemeralIdentity EphemeralIdentity::makeSelfSigned(const QByteArray& commonName, std::chrono::seconds validity,
                                                    const char* purpose, const std::function<bool(X509*)>& extend)
{
    const auto failed = [purpose](const char* step) { qFatal("cannot make %s: %s failed", purpose, step); };
    Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_EC_gen("P-256"));
    if (!key)
        failed("EVP_EC_gen");

    Owned<X509, X509_free> certificate(X509_new());
    if (!certificate || !X509_set_version(certificate.get(), 2))
        failed("X509_new");
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        failed("RAND_bytes");
    serial[0] &= 0x7f; // a positive serial number
    Owned<BIGNUM, BN_free> serialNumber(BN_bin2bn(serial, sizeof serial, nullptr));
    if (!serialNumber || !BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(certificate.get())))
        failed("serial number");
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), long(validity.count()));
    if (!X509_set_pubkey(certificate.get(), key.get()))
        failed("X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(certificate.get());
    const QByteArray cn = commonName.left(64);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.constData()),
                               int(cn.size()), -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    if (extend && !extend(certificate.get()))
        failed("adding an extension");
    if (!X509_sign(certificate.get(), key.get(), EVP_sha256()))
        failed("X509_sign");

    EphemeralIdentity identity = fromOpenSsl(key.get(), certificate.get());
    if (identity.isNull())
        failed("loading into Qt");
    return identity;
}

EphemeralIdentity EphemeralIdentity::fromOpenSsl(EVP_PKEY* key, X509* certificate)
{
    Owned<BIO, BIO_free_all> certificatePem(BIO_new(BIO_s_mem()));
    Owned<BIO, BIO_free_all> keyPem(BIO_new(BIO_s_mem()));
    EphemeralIdentity identity;
    if (!certificatePem || !keyPem || !PEM_write_bio_X509(certificatePem.get(), certificate)
        || !PEM_write_bio_PrivateKey(keyPem.get(), key, nullptr, nullptr, 0, nullptr, nullptr))
        return identity;
    identity.certificate = QSslCertificate(readBio(certificatePem.get()), QSsl::Pem);
    identity.privateKey = QSslKey(readBio(keyPem.get()), QSsl::Ec, QSsl::Pem);
    return identity.isNull() ? EphemeralIdentity() : identity;
}

} // namespace glasswing::peer
