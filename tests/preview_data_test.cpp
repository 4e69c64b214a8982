// The frame phones decode: exact bytes for one small frame, and every length boundary of the
// data object read back by an independent decoder (Python's plistlib).

#include "mirroring/PreviewData.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>

using namespace glasswing;

namespace {

// Each frame as plistlib reads it: {"keys": [...], "timestamp": ..., "image": base64}, with the
// Python types of both values under "types". One run of Python for all of them.
QJsonArray decodeWithPlistlib(const QList<QByteArray>& frames)
{
    static const char* script = R"(
import base64, json, plistlib, sys
out = []
for frame in json.load(sys.stdin):
    top = plistlib.loads(base64.b64decode(frame), fmt=plistlib.FMT_BINARY)
    out.append({'keys': sorted(top.keys()), 'timestamp': top['timestamp'],
                'types': type(top['timestamp']).__name__ + ' ' + type(top['image']).__name__,
                'image': base64.b64encode(top['image']).decode()})
print(json.dumps(out))
)";
    QJsonArray input;
    for (const QByteArray& frame : frames)
        input.append(QString::fromLatin1(frame.toBase64()));
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(script)});
    python.write(QJsonDocument(input).toJson());
    python.closeWriteChannel();
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        qWarning("plistlib: %s", python.readAllStandardError().constData());
    return QJsonDocument::fromJson(python.readAllStandardOutput()).array();
}

} // namespace

class PreviewDataTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aSmallFrameHasExactlyTheseBytes();
    void everyLengthDecodesAndFillsItsFrame_data();
    void everyLengthDecodesAndFillsItsFrame();
    void timeCountsFromTheReferenceDate();
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
                              "0101" // offset size, reference size
                              "0000000000000005" // objects
                              "0000000000000000" // top object
                              "000000000000002a"); // offset table at 42
    QCOMPARE(frame.encoded().toHex(), expected.toHex());
}

void PreviewDataTest::everyLengthDecodesAndFillsItsFrame_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<double>("timestamp");
    QTest::addColumn<QJsonObject>("decoded"); // the frame encoded here, as plistlib read it

    QList<std::tuple<QByteArray, QByteArray, double>> rows;
    // Around each change of the data object's length field: in the marker, then 1, 2, 4 bytes.
    for (qsizetype length : {0, 14, 15, 255, 256, 65535, 65536, 3 * 1024 * 1024 + 7})
        rows.append({QByteArray::number(length) + " bytes", QByteArray(length, Qt::Uninitialized), 786000000.123456});
    // A whole number and a negative time still travel as 8-byte reals.
    rows.append({"whole-number time", QByteArray(10, Qt::Uninitialized), 0.0});
    rows.append({"before the reference date", QByteArray(10, Qt::Uninitialized), -12345.25});
    QList<QByteArray> frames;
    for (auto& [name, image, timestamp] : rows) {
        for (char& byte : image)
            byte = char(QRandomGenerator::global()->generate());
        frames << PreviewData{timestamp, image, {}}.encoded();
    }
    const QJsonArray decoded = decodeWithPlistlib(frames);
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const auto& [name, image, timestamp] = rows.at(i);
        QTest::newRow(name.constData()) << image << timestamp << decoded.at(i).toObject();
    }
}

void PreviewDataTest::everyLengthDecodesAndFillsItsFrame()
{
    QFETCH(QByteArray, image);
    QFETCH(double, timestamp);
    QFETCH(QJsonObject, decoded);
    const qint64 length = image.size();
    const QByteArray encoded = PreviewData{timestamp, image, {}}.encoded();
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
    QVERIFY(read.image == image);
    QCOMPARE(read.encoded().constData(), read.frame.constData());
    QVERIFY(length == 0 || read.image.constData() == read.frame.constData() + PreviewData::imageOffset(length));

    QCOMPARE(decoded.value(QStringLiteral("keys")).toVariant().toStringList(),
             QStringList({QStringLiteral("image"), QStringLiteral("timestamp")}));
    QCOMPARE(decoded.value(QStringLiteral("types")).toString(), QStringLiteral("float bytes"));
    QCOMPARE(decoded.value(QStringLiteral("timestamp")).toDouble(), timestamp);
    QVERIFY(QByteArray::fromBase64(decoded.value(QStringLiteral("image")).toString().toLatin1()) == image);
}

void PreviewDataTest::timeCountsFromTheReferenceDate()
{
    const double unixNow = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    QVERIFY(std::fabs(PreviewData::now() - (unixNow - 978307200.0)) < 5.0);
}

QTEST_GUILESS_MAIN(PreviewDataTest)
#include "preview_data_test.moc"
