#include "mirroring/PreviewData.h"

#include <QtEndian>

#include <chrono>
#include <cstring>

// The binary property list is written by hand: the frame always has the same five objects, so the
// whole encoder is a fixed header, one length field and a fixed trailer, and it copies the image
// exactly once into a buffer of the right size. A general property-list library would build a
// node tree holding a copy of the image and copy it again on output, for frames of up to 32 MiB
// sent ten times a second.

namespace glasswing {

namespace {

// Seconds from the Unix epoch to 2001-01-01 00:00:00 UTC.
constexpr double kReferenceDateOffset = 978307200.0;

// Object table: 0 the dictionary, 1 "timestamp", 2 "image", 3 the real, 4 the data. Every object
// but the data is small and comes first, so one byte holds each object's offset and reference.
constexpr char kMagic[] = "bplist00";
constexpr unsigned char kDictionary[] = {0xD2, 1, 2, 3, 4}; // two entries: keys 1, 2; values 3, 4
constexpr unsigned char kTimestampKey[] = {0x59, 't', 'i', 'm', 'e', 's', 't', 'a', 'm', 'p'};
constexpr unsigned char kImageKey[] = {0x55, 'i', 'm', 'a', 'g', 'e'};
constexpr unsigned char kRealMarker = 0x23; // an 8-byte real, big-endian
constexpr qint64 kDictionaryOffset = 8;
constexpr qint64 kTimestampKeyOffset = kDictionaryOffset + sizeof kDictionary;
constexpr qint64 kImageKeyOffset = kTimestampKeyOffset + sizeof kTimestampKey;
constexpr qint64 kRealOffset = kImageKeyOffset + sizeof kImageKey;
constexpr qint64 kDataOffset = kRealOffset + 1 + 8;
constexpr int kObjectCount = 5;
constexpr qint64 kTrailerBytes = 32;

// The data object's marker and length: the length in the low nibble when under 15, otherwise
// 0x4F followed by an integer object of 1, 2, 4 or 8 bytes.
qint64 dataHeaderSize(qint64 length)
{
    if (length < 15)
        return 1;
    if (length <= 0xFF)
        return 1 + 1 + 1;
    if (length <= 0xFFFF)
        return 1 + 1 + 2;
    if (length <= 0xFFFFFFFFLL)
        return 1 + 1 + 4;
    return 1 + 1 + 8;
}

char* writeDataHeader(char* out, qint64 length)
{
    auto* bytes = reinterpret_cast<unsigned char*>(out);
    if (length < 15) {
        *bytes = 0x40 | static_cast<unsigned char>(length);
        return out + 1;
    }
    *bytes++ = 0x4F;
    if (length <= 0xFF) {
        *bytes++ = 0x10;
        *bytes++ = static_cast<unsigned char>(length);
    } else if (length <= 0xFFFF) {
        *bytes++ = 0x11;
        qToBigEndian(static_cast<quint16>(length), bytes);
        bytes += 2;
    } else if (length <= 0xFFFFFFFFLL) {
        *bytes++ = 0x12;
        qToBigEndian(static_cast<quint32>(length), bytes);
        bytes += 4;
    } else {
        *bytes++ = 0x13;
        qToBigEndian(static_cast<quint64>(length), bytes);
        bytes += 8;
    }
    return reinterpret_cast<char*>(bytes);
}

template <size_t N> char* put(char* out, const unsigned char (&bytes)[N])
{
    std::memcpy(out, bytes, N);
    return out + N;
}

} // namespace

double PreviewData::now()
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count() - kReferenceDateOffset;
}

qint64 PreviewData::encodedSize(qint64 imageBytes)
{
    return kDataOffset + dataHeaderSize(imageBytes) + imageBytes + kObjectCount + kTrailerBytes;
}

qint64 PreviewData::largestImage(qint64 largestFrame)
{
    qint64 imageBytes = largestFrame;
    while (imageBytes > 0 && encodedSize(imageBytes) > largestFrame)
        imageBytes -= encodedSize(imageBytes) - largestFrame;
    // The step down can pass a point where the length header shrinks; the size grows with the
    // image, so what was passed is made up one byte at a time (a few at most).
    while (encodedSize(imageBytes + 1) <= largestFrame)
        ++imageBytes;
    return qMax<qint64>(imageBytes, 0);
}

QByteArray PreviewData::frameFor(qint64 imageBytes)
{
    QByteArray out(encodedSize(imageBytes), Qt::Uninitialized);
    char* at = out.data();
    std::memcpy(at, kMagic, 8);
    at += 8;
    at = put(at, kDictionary);
    at = put(at, kTimestampKey);
    at = put(at, kImageKey);
    *at++ = static_cast<char>(kRealMarker);
    std::memset(at, 0, 8); // the timestamp, once the image is in
    at += 8;
    at = writeDataHeader(at, imageBytes);
    at += imageBytes;

    const qint64 offsetTable = at - out.constData();
    for (qint64 offset : {kDictionaryOffset, kTimestampKeyOffset, kImageKeyOffset, kRealOffset, kDataOffset})
        *at++ = static_cast<char>(offset);

    // Trailer: five unused bytes and the sort version, then the sizes of an offset and of an
    // object reference, the object count, the top object and where the offset table starts.
    std::memset(at, 0, 6);
    at += 6;
    *at++ = 1;
    *at++ = 1;
    qToBigEndian(static_cast<quint64>(kObjectCount), at);
    at += 8;
    qToBigEndian(static_cast<quint64>(0), at);
    at += 8;
    qToBigEndian(static_cast<quint64>(offsetTable), at);
    return out;
}

qint64 PreviewData::imageOffset(qint64 imageBytes)
{
    return kDataOffset + dataHeaderSize(imageBytes);
}

PreviewData PreviewData::fromFrame(QByteArray frame, qint64 imageBytes, double timestamp)
{
    qToBigEndian(timestamp, frame.data() + kRealOffset + 1);
    PreviewData preview;
    preview.timestamp = timestamp;
    // A view of the frame's bytes, not a copy: `frame`, kept beside it, keeps them alive.
    preview.image = QByteArray::fromRawData(frame.constData() + imageOffset(imageBytes), qsizetype(imageBytes));
    preview.frame = std::move(frame);
    return preview;
}

QByteArray PreviewData::encoded() const
{
    if (!frame.isNull())
        return frame;
    const qint64 length = image.size();
    QByteArray out = frameFor(length);
    qToBigEndian(timestamp, out.data() + kRealOffset + 1);
    if (length > 0)
        std::memcpy(out.data() + imageOffset(length), image.constData(), size_t(length));
    return out;
}

} // namespace glasswing
