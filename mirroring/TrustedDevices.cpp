#include "mirroring/TrustedDevices.h"

#include "platform/UserDefaults.h"

namespace glasswing::trusted {

namespace {

const QString kTrustedDevices = QStringLiteral("Trusted Devices");

} // namespace

QJsonArray devices(const UserDefaults& defaults)
{
    const QJsonValue stored = defaults.objectForKey(kTrustedDevices);
    return stored.isArray() ? stored.toArray() : QJsonArray();
}

QStringList userIDs(const UserDefaults& defaults)
{
    QStringList ids;
    for (const QJsonValue& device : devices(defaults)) {
        if (device.isString())
            ids << device.toString();
    }
    return ids;
}

bool sameUserID(const QString& a, const QString& b)
{
    return a == b || a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

bool contains(const QJsonArray& list, const QString& userID)
{
    for (const QJsonValue& device : list) {
        if (device.isString() && sameUserID(device.toString(), userID))
            return true;
    }
    return false;
}

bool remember(UserDefaults& defaults, const QString& userID)
{
    QJsonArray list = devices(defaults);
    if (contains(list, userID))
        return true;
    list.append(userID);
    return defaults.setObject(kTrustedDevices, list);
}

bool forget(UserDefaults& defaults, const QString& userID)
{
    const QJsonArray list = devices(defaults);
    QJsonArray kept;
    for (const QJsonValue& device : list) {
        if (!(device.isString() && sameUserID(device.toString(), userID)))
            kept.append(device);
    }
    return kept.size() == list.size() || defaults.setObject(kTrustedDevices, kept);
}

QString printable(const QString& userID)
{
    QString shown = userID;
    for (QChar& c : shown) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            c = QChar::ReplacementCharacter;
    }
    return shown;
}

} // namespace glasswing::trusted
