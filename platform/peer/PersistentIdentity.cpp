#include "platform/peer/PersistentIdentity.h"

#include "platform/peer/EphemeralIdentity.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QStringList>
#include <QUrl>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace glasswing::peer {

namespace {

template <typename T, void (*Free)(T*)> using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

// Larger than any key and certificate this class writes, with room to spare; a bigger file is not one.
constexpr qint64 kLargestFile = 64 * 1024;

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The host name as a DNS name fit for a certificate: ASCII letters, digits, hyphens and dots only
// (an international name in its ASCII form); empty when it is none.
QByteArray dnsName(const QString& hostName)
{
    const QByteArray ace = QUrl::toAce(hostName.trimmed());
    if (ace.isEmpty() || ace.startsWith('.') || ace.endsWith('.'))
        return {};
    for (const char c : ace) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            return {};
    }
    return ace;
}

// "DNS:host.local,DNS:host,DNS:localhost,IP:…" for the names a phone may open the viewer by.
QByteArray subjectAltNames(const QString& hostName)
{
    QList<QByteArray> names;
    const QByteArray host = dnsName(hostName);
    if (!host.isEmpty() && host.compare("localhost", Qt::CaseInsensitive) != 0) {
        names << "DNS:" + host + ".local";
        names << "DNS:" + host;
    }
    names << "DNS:localhost";
    QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    addresses << QHostAddress(QHostAddress::LocalHost) << QHostAddress(QHostAddress::LocalHostIPv6);
    QList<QByteArray> seen;
    for (QHostAddress address : std::as_const(addresses)) {
        address.setScopeId(QString()); // a certificate names addresses without their interface
        const QByteArray text = address.toString().toLatin1();
        if (text.isEmpty() || seen.contains(text))
            continue;
        seen << text;
        names << "IP:" + text;
    }
    return names.join(',');
}

bool addExtension(X509* certificate, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    Owned<X509_EXTENSION, X509_EXTENSION_free> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// Both parts loaded into Qt; a null identity when Qt cannot take them.
PersistentIdentity fromOpenSsl(EVP_PKEY* key, X509* certificate)
{
    const EphemeralIdentity loaded = EphemeralIdentity::fromOpenSsl(key, certificate);
    PersistentIdentity identity;
    identity.certificate = loaded.certificate;
    identity.privateKey = loaded.privateKey;
    return identity;
}

// The identity in `pem` when it is one worth keeping; otherwise null, with the reason.
PersistentIdentity parse(const QByteArray& pem, QString* why)
{
    Owned<BIO, BIO_free_all> keyBio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    Owned<BIO, BIO_free_all> certificateBio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (!keyBio || !certificateBio) {
        *why = QStringLiteral("out of memory");
        return PersistentIdentity();
    }
    Owned<EVP_PKEY, EVP_PKEY_free> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    Owned<X509, X509_free> certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    if (!key || !certificate) {
        *why = QStringLiteral("it does not hold a key and a certificate");
        return PersistentIdentity();
    }
    if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_EC) {
        *why = QStringLiteral("its key is not an elliptic-curve key");
        return PersistentIdentity();
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        *why = QStringLiteral("its certificate is not for its key");
        return PersistentIdentity();
    }
    std::time_t renewFrom = std::time(nullptr)
        + std::chrono::duration_cast<std::chrono::seconds>(PersistentIdentity::kRenewBefore).count();
    if (X509_cmp_time(X509_get0_notAfter(certificate.get()), &renewFrom) <= 0) {
        *why = QStringLiteral("its certificate expires within %1 days, or has expired")
                   .arg(std::chrono::duration_cast<std::chrono::hours>(PersistentIdentity::kRenewBefore).count() / 24);
        return PersistentIdentity();
    }
    if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) >= 0) {
        *why = QStringLiteral("its certificate is not valid yet");
        return PersistentIdentity();
    }
    PersistentIdentity identity = fromOpenSsl(key.get(), certificate.get());
    if (identity.isNull())
        *why = QStringLiteral("it cannot be loaded");
    return identity;
}

// The file's bytes; nothing, with the reason, when it is missing, not a regular file or unreadable.
// Opening never blocks (a FIFO in its place, say).
std::optional<QByteArray> readIdentityFile(const QString& filePath, QString* why, bool* missing)
{
    *missing = false;
    const int fd = ::open(QFile::encodeName(filePath).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *missing = errno == ENOENT;
        *why = errnoText();
        return std::nullopt;
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > kLargestFile) {
        ::close(fd);
        *why = QStringLiteral("not a regular file of at most %1 bytes").arg(kLargestFile);
        return std::nullopt;
    }
    // Only the user may read a private key.
    if ((status.st_mode & 077) != 0)
        ::fchmod(fd, 0600);
    QByteArray bytes(qsizetype(status.st_size), Qt::Uninitialized);
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = errnoText();
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break; // shortened meanwhile: what was there is the file
        done += n;
    }
    ::close(fd);
    bytes.truncate(qsizetype(done));
    return bytes;
}

} // namespace

PersistentIdentity PersistentIdentity::make(const QString& hostName, std::chrono::seconds validity)
{
    const QByteArray host = dnsName(hostName);
    const QByteArray commonName = "Glasswing " + (host.isEmpty() ? QByteArray("web viewer") : host);
    const QByteArray altNames = subjectAltNames(hostName);
    // What a browser asks of a server certificate: its names, its use, and that it is no CA.
    const EphemeralIdentity made = EphemeralIdentity::makeSelfSigned(
        commonName, validity, "the web viewer's TLS identity", [&altNames](X509* certificate) {
            return addExtension(certificate, NID_subject_alt_name, altNames.constData())
                && addExtension(certificate, NID_basic_constraints, "critical,CA:FALSE")
                && addExtension(certificate, NID_key_usage, "critical,digitalSignature")
                && addExtension(certificate, NID_ext_key_usage, "serverAuth")
                && addExtension(certificate, NID_subject_key_identifier, "hash");
        });
    PersistentIdentity identity;
    identity.certificate = made.certificate;
    identity.privateKey = made.privateKey;
    identity.made = true;
    return identity;
}

bool PersistentIdentity::save(const QString& filePath, QString* why) const
{
    const auto fail = [&](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QFileInfo info(filePath);
    const QString folder = info.absolutePath();
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("cannot make the folder %1").arg(folder));
    // The folder holds a private key: the user's alone.
    const QByteArray folderName = QFile::encodeName(folder);
    struct stat folderStatus { };
    if (::stat(folderName.constData(), &folderStatus) == 0 && (folderStatus.st_mode & 077) != 0)
        ::chmod(folderName.constData(), 0700);

    const QByteArray pem = privateKey.toPem() + certificate.toPem();
    QByteArray temporary = QFile::encodeName(info.absoluteFilePath()) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0)
        return fail(QStringLiteral("cannot write in %1: %2").arg(folder, errnoText()));
    qint64 written = 0;
    while (written < pem.size()) {
        const ssize_t n = ::write(fd, pem.constData() + written, size_t(pem.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    const bool complete = written == pem.size() && ::fsync(fd) == 0;
    const QString writeError = errnoText();
    ::close(fd);
    if (!complete) {
        ::unlink(temporary.constData());
        return fail(QStringLiteral("cannot write %1: %2").arg(filePath, writeError));
    }
    if (::rename(temporary.constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0) {
        const QString renameError = errnoText();
        ::unlink(temporary.constData());
        return fail(QStringLiteral("cannot replace %1: %2").arg(filePath, renameError));
    }
    // The rename itself reaches the disk.
    const int folderFd = ::open(folderName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

PersistentIdentity PersistentIdentity::loadOrMake(const QString& filePath, const QString& hostName, bool renew)
{
    QString problem;
    if (!renew) {
        bool missing = false;
        QString why;
        const std::optional<QByteArray> pem = readIdentityFile(filePath, &why, &missing);
        if (pem) {
            PersistentIdentity identity = parse(*pem, &why);
            if (!identity.isNull()) {
                identity.stored = true;
                return identity;
            }
        }
        if (!missing)
            problem = QStringLiteral("%1 cannot be used (%2); a new identity is made").arg(filePath, why);
    }
    PersistentIdentity identity = make(hostName);
    QString why;
    identity.stored = identity.save(filePath, &why);
    if (!identity.stored) {
        const QString notStored = QStringLiteral("the new identity is not stored, so browsers will warn again at the "
                                                 "next start: %1")
                                      .arg(why);
        problem = problem.isEmpty() ? notStored : problem + QStringLiteral("; ") + notStored;
    }
    identity.problem = problem;
    return identity;
}

QByteArray PersistentIdentity::fingerprint() const
{
    return certificate.digest(QCryptographicHash::Sha256);
}

QByteArray PersistentIdentity::publicKeyPin() const
{
    const QByteArray der = certificate.toDer();
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.constData());
    Owned<X509, X509_free> parsed(d2i_X509(nullptr, &cursor, long(der.size())));
    if (!parsed)
        return {};
    unsigned char* spki = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(parsed.get()), &spki);
    if (length <= 0)
        return {};
    const QByteArray hash = QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(spki), length),
                                                     QCryptographicHash::Sha256);
    OPENSSL_free(spki);
    return hash.toBase64();
}

} // namespace glasswing::peer
