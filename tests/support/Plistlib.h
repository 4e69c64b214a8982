#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <optional>

namespace glasswing::test {

// A frame as Python's plistlib reads it: a decoder written independently of ours.
struct DecodedFrame {
    QStringList keys; // sorted; empty when the top object is not a dictionary
    QString timestampType; // Python's type name: "float" for a real
    double timestamp = 0;
    QString imageType; // "bytes" for data
    QByteArray image;
};

// Decodes each file with plistlib (binary format only). Nothing when Python or the decoder fails;
// `why` then says what happened.
inline std::optional<QList<DecodedFrame>> decodeWithPlistlib(const QStringList& files, QString* why)
{
    static const char* script = R"(
import base64, json, plistlib, sys
out = []
for name in sys.argv[1:]:
    with open(name, 'rb') as f:
        top = plistlib.load(f, fmt=plistlib.FMT_BINARY)
    if not isinstance(top, dict):
        out.append({'keys': []})
        continue
    image = top.get('image')
    out.append({'keys': sorted(top.keys()),
                'timestampType': type(top.get('timestamp')).__name__,
                'timestamp': top.get('timestamp') if isinstance(top.get('timestamp'), float) else 0,
                'imageType': type(image).__name__,
                'image': base64.b64encode(image).decode() if isinstance(image, bytes) else ''})
print(json.dumps(out))
)";
    QProcess python;
    python.start(QStringLiteral("python3"), QStringList{QStringLiteral("-c"), QString::fromUtf8(script)} + files);
    if (!python.waitForFinished(30000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0) {
        *why = QStringLiteral("python3 failed: ") + python.errorString() + QStringLiteral(" ")
            + QString::fromUtf8(python.readAllStandardError());
        return std::nullopt;
    }
    QList<DecodedFrame> frames;
    for (const QJsonValue& value : QJsonDocument::fromJson(python.readAllStandardOutput()).array()) {
        const QJsonObject object = value.toObject();
        DecodedFrame frame;
        for (const QJsonValue& key : object.value(QStringLiteral("keys")).toArray())
            frame.keys << key.toString();
        frame.timestampType = object.value(QStringLiteral("timestampType")).toString();
        frame.timestamp = object.value(QStringLiteral("timestamp")).toDouble();
        frame.imageType = object.value(QStringLiteral("imageType")).toString();
        frame.image = QByteArray::fromBase64(object.value(QStringLiteral("image")).toString().toLatin1());
        frames << frame;
    }
    if (frames.size() != files.size()) {
        *why = QStringLiteral("plistlib gave %1 frames for %2 files").arg(frames.size()).arg(files.size());
        return std::nullopt;
    }
    return frames;
}

} // namespace glasswing::test
