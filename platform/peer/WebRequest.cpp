#include "platform/peer/WebRequest.h"

#include <cstring>

namespace glasswing::peer {

namespace {

// RFC 9110 token characters (method and header names).
bool isToken(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric && (c == '\0' || !std::strchr("!#$%&'*+-.^_`|~", c)))
            return false;
    }
    return true;
}

// Visible ASCII only: no spaces, controls or bytes past 0x7e.
bool isVisibleAscii(const QByteArray& text)
{
    for (const char c : text) {
        if (c < 0x21 || c > 0x7e)
            return false;
    }
    return !text.isEmpty();
}

// A header value: visible characters, spaces and tabs, and bytes past ASCII (RFC 9110 obs-text).
bool isFieldValue(const QByteArray& text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
            return false;
    }
    return true;
}

std::optional<WebRequest> fail(QString* why, const char* reason)
{
    if (why)
        *why = QString::fromLatin1(reason);
    return std::nullopt;
}

// Headers that a request may carry once only: two differing values would let one reader see
// what another does not.
const QByteArray kSingleHeaders[]
    = {"host", "origin", "content-length", "transfer-encoding", "upgrade", "sec-websocket-key", "content-type"};

} // namespace

std::optional<QByteArray> WebRequest::header(const QByteArray& lowerCaseName) const
{
    for (const auto& [name, value] : headers) {
        if (name == lowerCaseName)
            return value;
    }
    return std::nullopt;
}

bool WebRequest::headerHasToken(const QByteArray& lowerCaseName, const QByteArray& token) const
{
    for (const auto& [name, value] : headers) {
        if (name != lowerCaseName)
            continue;
        for (const QByteArray& part : value.split(',')) {
            if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

std::optional<WebRequest> WebRequest::parse(const QByteArray& head, QString* why)
{
    if (!head.endsWith("\r\n\r\n"))
        return fail(why, "the request head does not end with an empty line");
    const QList<QByteArray> lines = head.chopped(4).split('\n');
    // Every line ends with CR LF: a bare line feed or carriage return is where parsers disagree.
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const bool last = i + 1 == lines.size();
        const qsizetype crs = line.count('\r');
        if (last ? crs != 0 : (crs != 1 || !line.endsWith('\r')))
            return fail(why, "lines must end with CR LF");
    }

    WebRequest request;
    const QByteArray requestLine = lines.first().endsWith('\r') ? lines.first().chopped(1) : lines.first();
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3)
        return fail(why, "the request line is not METHOD TARGET VERSION");
    request.method = parts.at(0);
    request.target = parts.at(1);
    request.version = parts.at(2);
    if (!isToken(request.method))
        return fail(why, "bad method");
    if (request.version != "HTTP/1.1" && request.version != "HTTP/1.0")
        return fail(why, "only HTTP/1.1 and HTTP/1.0 are served");
    if (!isVisibleAscii(request.target) || !request.target.startsWith('/') || request.target.startsWith("//"))
        return fail(why, "the target must be an absolute path");
    const qsizetype query = request.target.indexOf('?');
    request.path = query < 0 ? request.target : request.target.left(query);

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).endsWith('\r') ? lines.at(i).chopped(1) : lines.at(i);
        if (line.startsWith(' ') || line.startsWith('\t'))
            return fail(why, "folded header lines are not accepted");
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return fail(why, "a header line without a name");
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (!isToken(name))
            return fail(why, "bad header name");
        if (!isFieldValue(value))
            return fail(why, "control characters in a header");
        for (const QByteArray& single : kSingleHeaders) {
            if (name == single && request.header(name))
                return fail(why, "a header that must be single is repeated");
        }
        request.headers.append({name, value});
    }
    if (request.version == "HTTP/1.1" && !request.header("host"))
        return fail(why, "no Host header");
    return request;
}

} // namespace glasswing::peer
