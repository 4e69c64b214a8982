// The frame phones decode: exact bytes for one small frame, and every length boundary of the
// data object read back by an independent decoder.

#include "mirroring/PreviewData.h"
#include "support/Plistlib.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace glasswing;

class PreviewDataTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aSmallFrameHasExactlyTheseBytes();
    void anIndependentDecoderReadsEveryLength_data();
    void anIndependentDecoderReadsEveryLength();
    void timeCountsFromTheReferenceDate();
    void theLargestImageFillsTheFrameAndNoMore_data();
    void theLargestImageFillsTheFrameAndNoMore();
};

void PreviewDataTest::aSmallFrameHasExactlyTheseBytes()
{
    const PreviewData frame{1.5, QByteArray("PNG"), {}};
    const QByteArray expected = QByteArray("bplist00") // magic and version
        + QByteArray::fromHex("d201020304") // object 0 at 8: dictionary of 2; keys 1, 2; values 3, 4
        + QByteArray::fromHex("59") + "timestamp" // object 1 at 13: ASCII string of 9
        + QByteArray::fromHex("55") + "image" // object 2 at 23: ASCII string of 5
        + QByteArray::fromHex("233ff8000000000000") // object 3 at 29: 8-byte real 1.5
        + QByteArray::fromHex("43") + "PNG" // object 4 at 38: data of 3
        + QByteArray::fromHex("080d171d26") // offset table: 8, 13, 23, 29, 38
        + QByteArray::fromHex("000000000000" // unused, sort version
                              "01"
                              "01" // offset size, reference size
                              "0000000000000005" // objects
                              "0000000000000000" // top object
                              "000000000000002a"); // offset table at 42
    QCOMPARE(frame.encoded().toHex(), expected.toHex());
    QCOMPARE(PreviewData::encodedSize(3), qint64(expected.size()));
}

void PreviewDataTest::anIndependentDecoderReadsEveryLength_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<double>("timestamp");
    // Around each change of the data object's length field: in the marker, then 1, 2, 4 bytes.
    for (qint64 length : {0, 14, 15, 255, 256, 65535, 65536, 3 * 1024 * 1024 + 7})
        QTest::addRow("%lld bytes", length) << length << 786000000.123456;
    // A whole number and a negative time still travel as 8-byte reals.
    QTest::newRow("whole-number time") << qint64(10) << 0.0;
    QTest::newRow("before the reference date") << qint64(10) << -12345.25;
}

void PreviewDataTest::anIndependentDecoderReadsEveryLength()
{
    QFETCH(qint64, length);
    QFETCH(double, timestamp);
    QByteArray image(length, Qt::Uninitialized);
    for (char& byte : image)
        byte = char(QRandomGenerator::global()->generate());
    const PreviewData frame{timestamp, image, {}};
    const QByteArray encoded = frame.encoded();
    QCOMPARE(qint64(encoded.size()), PreviewData::encodedSize(length));
    // Read straight into a frame, as the pump does: the same bytes, and the image not a copy.
    QByteArray room = PreviewData::frameFor(length);
    std::copy(image.cbegin(), image.cend(), room.data() + PreviewData::imageOffset(length));
    const PreviewData read = PreviewData::fromFrame(std::move(room), length, timestamp);
    QVERIFY(read.encoded() == encoded);
    QVERIFY(read.image == image);
    QCOMPARE(read.encoded().constData(), read.frame.constData());
    QVERIFY(length == 0 || read.image.constData() == read.frame.constData() + PreviewData::imageOffset(length));
    QCOMPARE(encoded.at(29), '\x23');

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("frame.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(encoded);
    file.close();
    QString why;
    const auto decoded = test::decodeWithPlistlib({path}, &why);
    QVERIFY2(decoded, qPrintable(why));
    const test::DecodedFrame& got = decoded->first();
    QCOMPARE(got.keys, QStringList({QStringLiteral("image"), QStringLiteral("timestamp")}));
    QCOMPARE(got.timestampType, QStringLiteral("float"));
    QCOMPARE(got.timestamp, timestamp);
    QCOMPARE(got.imageType, QStringLiteral("bytes"));
    QVERIFY(got.image == image);
}

void PreviewDataTest::timeCountsFromTheReferenceDate()
{
    const double unixNow = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    QVERIFY(std::fabs(PreviewData::now() - (unixNow - 978307200.0)) < 5.0);
}

void PreviewDataTest::theLargestImageFillsTheFrameAndNoMore_data()
{
    QTest::addColumn<qint64>("frame");
    // Frames around the sizes where the data object's length header grows, and the app's own limit.
    for (const qint64 frame : {qint64(76), qint64(90), qint64(91), qint64(92), qint64(300), qint64(333), qint64(70000),
                               qint64(32) * 1024 * 1024})
        QTest::addRow("%lld", frame) << frame;
}

void PreviewDataTest::theLargestImageFillsTheFrameAndNoMore()
{
    QFETCH(qint64, frame);
    const qint64 image = PreviewData::largestImage(frame);
    QVERIFY(PreviewData::encodedSize(image) <= frame);
    QVERIFY(PreviewData::encodedSize(image + 1) > frame);
}

QTEST_GUILESS_MAIN(PreviewDataTest)
#include "preview_data_test.moc"
