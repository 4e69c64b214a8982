#include "platform/updates/FeedDecoder.h"

#include <utility>
#include <zlib.h>

namespace glasswing {

namespace {

// Each inflate call writes at most this much; the limit is checked after every one.
constexpr qsizetype kOutputStep = 64 * 1024;

} // namespace

struct FeedDecoder::Inflater {
    z_stream stream{};
    bool ended = false; // the last member's end was seen and nothing has followed it yet
};

FeedDecoder::FeedDecoder(const QByteArray& contentEncoding, qint64 limit)
    : m_limit(limit)
{
    const QByteArray encoding = contentEncoding.trimmed().toLower();
    if (encoding.isEmpty() || encoding == "identity")
        return;
    if (encoding != "gzip" && encoding != "x-gzip" && encoding != "deflate") {
        m_state = Result::UnsupportedEncoding;
        return;
    }
    m_inflater = std::make_unique<Inflater>();
    // 32 more than the window bits: a gzip or a zlib header, whichever comes ("deflate" is zlib).
    if (inflateInit2(&m_inflater->stream, 15 + 32) != Z_OK) {
        m_inflater.reset();
        m_state = Result::Corrupt;
    }
}

FeedDecoder::~FeedDecoder()
{
    if (m_inflater)
        inflateEnd(&m_inflater->stream);
}

QByteArray FeedDecoder::acceptedEncodings()
{
    return QByteArrayLiteral("gzip, deflate");
}

FeedDecoder::Result FeedDecoder::fail(Result result)
{
    m_state = result;
    m_decoded.clear();
    return result;
}

FeedDecoder::Result FeedDecoder::append(const QByteArray& wire)
{
    if (m_state != Result::Ok)
        return m_state;
    m_wireBytes += wire.size();
    if (m_wireBytes > m_limit)
        return fail(Result::TooLarge);
    if (!m_inflater) {
        m_decoded += wire;
        return m_decoded.size() > m_limit ? fail(Result::TooLarge) : Result::Ok;
    }
    z_stream& stream = m_inflater->stream;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(wire.constData()));
    stream.avail_in = uInt(wire.size());
    // Until the input is used up and the inflater has nothing more to give for it.
    bool outputFull = false;
    while (stream.avail_in > 0 || outputFull) {
        if (m_inflater->ended) {
            if (stream.avail_in == 0)
                break;
            // Another gzip member follows the last one: a valid continuation of the body.
            if (inflateReset(&stream) != Z_OK)
                return fail(Result::Corrupt);
            m_inflater->ended = false;
        }
        const qsizetype before = m_decoded.size();
        m_decoded.resize(before + kOutputStep);
        stream.next_out = reinterpret_cast<Bytef*>(m_decoded.data() + before);
        stream.avail_out = uInt(kOutputStep);
        const int status = inflate(&stream, Z_NO_FLUSH);
        outputFull = stream.avail_out == 0;
        m_decoded.resize(before + kOutputStep - qsizetype(stream.avail_out));
        if (m_decoded.size() > m_limit)
            return fail(Result::TooLarge);
        if (status == Z_STREAM_END)
            m_inflater->ended = true;
        else if (status == Z_BUF_ERROR)
            break; // nothing more to be had from this input
        else if (status != Z_OK)
            return fail(Result::Corrupt);
    }
    return Result::Ok;
}

FeedDecoder::Result FeedDecoder::finish()
{
    if (m_state != Result::Ok)
        return m_state;
    if (!m_inflater)
        return Result::Ok;
    // Whatever the inflater still holds comes out now; an unfinished stream is a cut-off body.
    for (;;) {
        if (m_inflater->ended)
            return Result::Ok;
        z_stream& stream = m_inflater->stream;
        stream.next_in = nullptr;
        stream.avail_in = 0;
        const qsizetype before = m_decoded.size();
        m_decoded.resize(before + kOutputStep);
        stream.next_out = reinterpret_cast<Bytef*>(m_decoded.data() + before);
        stream.avail_out = uInt(kOutputStep);
        const int status = inflate(&stream, Z_FINISH);
        m_decoded.resize(before + kOutputStep - qsizetype(stream.avail_out));
        if (m_decoded.size() > m_limit)
            return fail(Result::TooLarge);
        if (status == Z_STREAM_END)
            m_inflater->ended = true;
        else if (stream.avail_out != 0)
            return fail(Result::Corrupt); // no more input and no more output: it stopped short
    }
}

QByteArray FeedDecoder::takeDecoded()
{
    return std::exchange(m_decoded, {});
}

} // namespace glasswing
