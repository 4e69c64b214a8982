#include "mirroring/WebViewerAddress.h"

#include <QRegularExpression>
#include <QStringList>

namespace glasswing {

namespace {

QUrl pageAt(const QString& host, quint16 port)
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(host);
    url.setPort(port);
    url.setPath(QStringLiteral("/"));
    return url;
}

} // namespace

QUrl WebViewerAddress::urlFor(const QHostAddress& address) const
{
    QHostAddress plain = address;
    plain.setScopeId(QString());
    return pageAt(plain.toString(), port);
}

QUrl WebViewerAddress::primaryUrl() const
{
    if (addresses.isEmpty())
        return pageAt(QStringLiteral("localhost"), port);
    return urlFor(addresses.first());
}

QUrl WebViewerAddress::localNameUrl() const
{
    // The multicast DNS name is the host name's first label; a label with anything but letters,
    // digits and hyphens is not a name a phone resolves.
    const QString label = hostName.section(u'.', 0, 0);
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    if (!valid.match(label).hasMatch() || label.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        return {};
    return pageAt(label + QStringLiteral(".local"), port);
}

QString WebViewerAddress::fingerprintPrefix(int bytes) const
{
    QStringList pairs;
    for (int i = 0; i < bytes && i < certificateSha256.size(); ++i)
        pairs << QString::fromLatin1(certificateSha256.mid(i, 1).toHex().toUpper());
    return pairs.join(u':');
}

} // namespace glasswing
