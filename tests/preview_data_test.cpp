// The frame phones decode, byte for byte: a binary property list holding the timestamp and the image.

#include "mirroring/PreviewData.h"

#include <QDateTime>
#include <QTest>
#include <QtEndian>

#include <cmath>

using namespace glasswing;

class PreviewDataTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void framesHaveExactlyTheseBytes_data();
    void framesHaveExactlyTheseBytes();
    void timeCountsFromTheReferenceDate();
};

void PreviewDataTest::framesHaveExactlyTheseBytes_data()
{
    QTest::addColumn<qint64>("length"); // of the image
    QTest::addColumn<double>("timestamp");
    QTest::addColumn<QByteArray>("real"); // the timestamp's bytes
    QTest::addColumn<QByteArray>("marker"); // the data object's, with its length
    const QByteArray real = QByteArray::fromHex("3ff8000000000000");
    // Up to 14 bytes the length is in the marker; then in an integer of 1, 2 or 4 bytes, big-endian.
    QTest::newRow("empty") << qint64(0) << 1.5 << real << QByteArray::fromHex("40");
    QTest::newRow("14 bytes") << qint64(14) << 1.5 << real << QByteArray::fromHex("4e");
    QTest::newRow("15 bytes") << qint64(15) << 1.5 << real << QByteArray::fromHex("4f100f");
    QTest::newRow("256 bytes") << qint64(256) << 1.5 << real << QByteArray::fromHex("4f110100");
    QTest::newRow("65536 bytes") << qint64(65536) << 1.5 << real << QByteArray::fromHex("4f1200010000");
    QTest::newRow("before the reference date")
        << qint64(3) << -12345.25 << QByteArray::fromHex("c0c81ca000000000") << QByteArray::fromHex("43");
}

void PreviewDataTest::framesHaveExactlyTheseBytes()
{
    QFETCH(qint64, length);
    QFETCH(double, timestamp);
    QFETCH(QByteArray, real);
    QFETCH(QByteArray, marker);
    const QByteArray image(length, 'i');
    const qint64 offsetTable = 38 + marker.size() + length;
    QByteArray tableAt(8, '\0');
    qToBigEndian(offsetTable, tableAt.data());
    const QByteArray expected = QByteArray("bplist00") // magic and version
        + QByteArray::fromHex("d201020304") // object 0 at 8: dictionary of 2; keys 1, 2; values 3, 4
        + QByteArray::fromHex("59") + "timestamp" // object 1 at 13: ASCII string of 9
        + QByteArray::fromHex("55") + "image" // object 2 at 23: ASCII string of 5
        + QByteArray::fromHex("23") + real // object 3 at 29: 8-byte real
        + marker + image // object 4 at 38: data
        + QByteArray::fromHex("080d171d26") // offset table: 8, 13, 23, 29, 38
        + QByteArray::fromHex("000000000000" // unused, sort version
                              "0101" // offset size, reference size
                              "0000000000000005" // objects
                              "0000000000000000") // top object
        + tableAt;
    const QByteArray encoded = PreviewData{timestamp, image, {}}.encoded();
    QCOMPARE(encoded.toHex(), expected.toHex());
    QCOMPARE(qint64(encoded.size()), PreviewData::encodedSize(length));
    // The largest image for a frame of exactly this size is this one; one byte less, the next
    // smaller (or 0 when not even an empty image fits).
    QCOMPARE(PreviewData::largestImage(encoded.size()), length);
    QCOMPARE(PreviewData::largestImage(encoded.size() - 1), qMax(length - 1, qint64(0)));
    // Read straight into a frame, as the pump does: the same bytes, in one buffer.
    QByteArray room = PreviewData::frameFor(length);
    std::copy(image.cbegin(), image.cend(), room.data() + PreviewData::imageOffset(length));
    const PreviewData read = PreviewData::fromFrame(std::move(room), length, timestamp);
    QVERIFY(read.encoded() == encoded);
    QCOMPARE(read.encoded().constData(), read.frame.constData());
}

void PreviewDataTest::timeCountsFromTheReferenceDate()
{
    const double unixNow = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    QVERIFY(std::fabs(PreviewData::now() - (unixNow - 978307200.0)) < 5.0);
}

QTEST_GUILESS_MAIN(PreviewDataTest)
#include "preview_data_test.moc"
