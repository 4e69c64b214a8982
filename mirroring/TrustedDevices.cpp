#include "mirroring/TrustedDevices.h"

#include "platform/UserDefaults.h"

#include <QJsonObject>

namespace glasswing::trusted {

namespace {

const QString kTrustedDevices = QStringLiteral("Trusted Devices");
const QString kTrustedDeviceNames = QStringLiteral("Trusted Device Names");

QJsonObject storedNames(const UserDefaults& defaults)
{
    const QJsonValue stored = defaults.objectForKey(kTrustedDeviceNames);
    return stored.isObject() ? stored.toObject() : QJsonObject();
}

// Every key of `names` that is `userID` as user IDs match.
QStringList keysMatching(const QJsonObject& names, const QString& userID)
{
    QStringList keys;
    for (auto entry = names.begin(); entry != names.end(); ++entry) {
        if (sameUserID(entry.key(), userID))
            keys << entry.key();
    }
    return keys;
}

QString nameIn(const QJsonObject& names, const QString& userID)
{
    const QJsonValue exact = names.value(userID);
    if (exact.isString())
        return exact.toString();
    for (const QString& key : keysMatching(names, userID)) {
        if (names.value(key).isString())
            return names.value(key).toString();
    }
    return {};
}

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

bool remember(UserDefaults& defaults, const QString& userID, const QString& name)
{
    const QJsonValue stored = defaults.objectForKey(kTrustedDeviceNames);
    // A value of another kind is not ours to replace: the device is then kept without its name.
    if (!name.isEmpty() && (stored.isUndefined() || stored.isObject())) {
        QJsonObject names = stored.toObject();
        for (const QString& key : keysMatching(names, userID))
            names.remove(key);
        names.insert(userID, name);
        if (!defaults.setObject(kTrustedDeviceNames, names))
            return false;
    }
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
    if (kept.size() != list.size() && !defaults.setObject(kTrustedDevices, kept))
        return false;
    QJsonObject names = storedNames(defaults);
    const QStringList keys = keysMatching(names, userID);
    if (keys.isEmpty())
        return true;
    for (const QString& key : keys)
        names.remove(key);
    return defaults.setObject(kTrustedDeviceNames, names);
}

QString name(const UserDefaults& defaults, const QString& userID)
{
    return nameIn(storedNames(defaults), userID);
}

QList<Device> namedDevices(const UserDefaults& defaults)
{
    const QJsonObject names = storedNames(defaults);
    QList<Device> list;
    for (const QString& userID : userIDs(defaults))
        list.append(Device{userID, nameIn(names, userID)});
    return list;
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
