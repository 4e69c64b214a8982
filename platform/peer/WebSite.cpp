#include "platform/peer/WebSite.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>

namespace glasswing::peer {

namespace {

// Only the page's own files, no inline script or style, and connections only to its own origin
// (which covers wss: there).
constexpr char kContentSecurityPolicy[]
    = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; connect-src 'self'; "
      "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct PageFile {
    QByteArray path;
    QString name;
    QByteArray type;
};

const QList<PageFile>& pageFiles()
{
    static const QList<PageFile> files{
        {"/", QStringLiteral("index.html"), "text/html; charset=utf-8"},
        {"/viewer.js", QStringLiteral("viewer.js"), "text/javascript; charset=utf-8"},
        {"/viewer.css", QStringLiteral("viewer.css"), "text/css; charset=utf-8"},
        {"/plist.js", QStringLiteral("plist.js"), "text/javascript; charset=utf-8"},
        {"/icon.svg", QStringLiteral("icon.svg"), "image/svg+xml"},
    };
    return files;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Error";
    }
}

// The headers every answer carries.
QByteArray commonHeaders()
{
    return QByteArray("Cache-Control: no-store\r\n"
                      "X-Content-Type-Options: nosniff\r\n"
                      "Referrer-Policy: no-referrer\r\n"
                      "Content-Security-Policy: ")
        + kContentSecurityPolicy
        + "\r\n"
          "Connection: close\r\n";
}

} // namespace

const QList<QByteArray>& WebSite::pagePaths()
{
    static const QList<QByteArray> paths = [] {
        QList<QByteArray> list;
        for (const PageFile& file : pageFiles())
            list << file.path;
        return list;
    }();
    return paths;
}

WebSite::WebSite(const QString& filesRoot, quint16 port, const QString& macName, const QString& hostName,
                 qint64 maxBodyBytes)
    : m_port(port)
    , m_macName(macName)
    , m_hostName(hostName)
    , m_maxBodyBytes(maxBodyBytes)
{
    for (const PageFile& page : pageFiles()) {
        QFile file(filesRoot + u'/' + page.name);
        if (file.open(QIODevice::ReadOnly))
            m_files.insert(page.path, File{page.type, file.readAll()});
    }
}

QByteArray WebSite::errorAnswer(int status, const QString& detail, const QByteArray& moreHeaders)
{
    const QByteArray body = QByteArray::number(status) + ' ' + reasonPhrase(status)
        + (detail.isEmpty() ? QByteArray() : ": " + detail.toUtf8()) + '\n';
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
        + "\r\n"
          "Content-Type: text/plain; charset=utf-8\r\n"
          "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n" + moreHeaders + commonHeaders() + "\r\n" + body;
}

QByteArray WebSite::streamHead()
{
    // No length and no chunking: the body runs until the Mac closes the connection.
    return "HTTP/1.1 200 OK\r\n"
           "Content-Type: application/octet-stream\r\n"
        + commonHeaders() + "\r\n";
}

QByteArray WebSite::fileAnswer(const File& file, bool withBody) const
{
    return "HTTP/1.1 200 OK\r\n"
           "Content-Type: "
        + file.type + "\r\nContent-Length: " + QByteArray::number(file.bytes.size()) + "\r\n" + commonHeaders() + "\r\n"
        + (withBody ? file.bytes : QByteArray());
}

bool WebSite::namesThisMac(const QByteArray& host) const
{
    QByteArray name;
    QByteArray port;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        if (close < 0)
            return false;
        name = host.mid(1, close - 1);
        const QByteArray rest = host.mid(close + 1);
        if (!rest.startsWith(':'))
            return false;
        port = rest.mid(1);
    } else {
        const qsizetype colon = host.lastIndexOf(':');
        if (colon < 0 || host.indexOf(':') != colon)
            return false;
        name = host.left(colon);
        port = host.mid(colon + 1);
    }
    // The port as browsers write it: the number, no sign or leading zero.
    if (port != QByteArray::number(m_port))
        return false;
    const QString text = QString::fromLatin1(name);
    if (text.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    if (!m_hostName.isEmpty()
        && (text.compare(m_hostName, Qt::CaseInsensitive) == 0
            || text.compare(m_hostName + QStringLiteral(".local"), Qt::CaseInsensitive) == 0))
        return true;
    const QHostAddress address(text);
    // Only the canonical spelling of an address, as a browser writes it.
    if (address.isNull() || (address.protocol() == QAbstractSocket::IPv4Protocol && address.toString() != text))
        return false;
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (QHostAddress mine : addresses) {
        mine.setScopeId(QString());
        if (mine.isEqual(address, QHostAddress::StrictConversion))
            return true;
    }
    return false;
}

WebSite::Route WebSite::route(const WebRequest& request) const
{
    const auto answer = [](int status, const QString& detail = {}, const QByteArray& moreHeaders = {}) {
        return Route{Route::Kind::Answer, errorAnswer(status, detail, moreHeaders), status, 0};
    };
    const bool get = request.method == "GET";

    if (const auto file = m_files.constFind(request.path); file != m_files.constEnd()) {
        if (!get && request.method != "HEAD")
            return answer(405, {}, "Allow: GET, HEAD\r\n");
        return Route{Route::Kind::Answer, fileAnswer(*file, get), 200, 0};
    }
    const bool session = request.path == "/session";
    const bool stream = request.path == "/stream";
    if (!session && !stream)
        return answer(404);
    if (session && !get)
        return answer(405, {}, "Allow: GET\r\n");
    if (stream && request.method != "POST")
        return answer(405, {}, "Allow: POST\r\n");

    // A page from elsewhere (or a name that only resolves here by a rebinding trick) may not
    // join: the browser says where the page came from, and it must be this very server.
    const QByteArray host = request.header("host").value_or(QByteArray());
    if (!namesThisMac(host))
        return answer(403, QStringLiteral("the Host does not name this computer's web viewer"));
    const std::optional<QByteArray> origin = request.header("origin");
    if (!origin || origin->compare("https://" + host, Qt::CaseInsensitive) != 0)
        return answer(403, QStringLiteral("only the viewer's own page may join"));

    if (session) {
        if (!request.headerHasToken("upgrade", "websocket"))
            return answer(400, QStringLiteral("/session takes a WebSocket upgrade"));
        return Route{Route::Kind::WebSocket, {}, 0, 0};
    }
    if (request.header("transfer-encoding"))
        return answer(400, QStringLiteral("the invitation is sent with a Content-Length"));
    const std::optional<QByteArray> length = request.header("content-length");
    if (!length)
        return answer(411);
    bool number = !length->isEmpty() && length->size() <= 9;
    for (const char c : *length)
        number = number && c >= '0' && c <= '9';
    if (!number)
        return answer(400, QStringLiteral("bad Content-Length"));
    const qint64 bytes = length->toLongLong();
    if (bytes > m_maxBodyBytes)
        return answer(413, QStringLiteral("an invitation holds at most %1 bytes").arg(m_maxBodyBytes));
    return Route{Route::Kind::Stream, {}, 0, bytes};
}

} // namespace glasswing::peer
