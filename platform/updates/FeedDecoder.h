#pragma once

#include <QByteArray>

#include <memory>

namespace glasswing {

// Turns a feed's body as it arrives off the wire into the bytes that the appcast parser reads,
// unpacking the content encodings that the request announces (gzip and deflate), and holds both
// to one limit: decoding stops as soon as either the wire bytes or the unpacked bytes pass it, so
// that a small compressed body cannot unpack into more than the limit in memory.
//
// Made for one response, from its Content-Encoding header; fed in order with `append` and closed
// with `finish`. Not thread-safe; one thread at a time.
class FeedDecoder {
public:
    enum class Result {
        Ok,
        TooLarge, // more than the limit on the wire or unpacked; nothing more is decoded
        Corrupt, // not a valid stream of its encoding, or it ended early
        UnsupportedEncoding, // an encoding that was not asked for
    };

    // `contentEncoding` as the server sent it (empty or "identity" for none); `limit` in bytes.
    FeedDecoder(const QByteArray& contentEncoding, qint64 limit);
    ~FeedDecoder();
    FeedDecoder(const FeedDecoder&) = delete;
    FeedDecoder& operator=(const FeedDecoder&) = delete;

    // The value for the request's Accept-Encoding header: what this class can unpack.
    static QByteArray acceptedEncodings();

    // Decodes the next piece of the body. Once it returned anything but Ok, it returns that again.
    Result append(const QByteArray& wire);
    // The body has ended: Corrupt when a compressed stream stopped short.
    Result finish();
    // The bytes decoded so far, taken out.
    QByteArray takeDecoded();

private:
    struct Inflater;

    Result fail(Result result);

    const qint64 m_limit;
    qint64 m_wireBytes = 0;
    QByteArray m_decoded;
    std::unique_ptr<Inflater> m_inflater; // null for an identity body
    Result m_state = Result::Ok;
};

} // namespace glasswing
