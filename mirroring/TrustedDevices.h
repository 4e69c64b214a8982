#pragma once

#include <QJsonArray>
#include <QString>
#include <QStringList>

namespace glasswing {

class UserDefaults;

// The remembered devices: user IDs under "Trusted Devices", oldest first. The stored value may
// hold elements that are not strings; they match nothing and are kept when the list is written.
//
// Beside it, under "Trusted Device Names", an object from user ID to the name the phone gave when
// the user allowed it. A store from before names were kept has no such key, and a device without
// a name there is shown by its user ID alone. Values that are not strings are kept as they are.
// The list is written after the names and read on its own, so a device is trusted or not by the
// list alone, whatever happened to the names.
namespace trusted {

// The list as stored: an array, or empty when absent or not an array.
QJsonArray devices(const UserDefaults& defaults);
// The user IDs of the list, oldest first (elements that are not strings left out).
QStringList userIDs(const UserDefaults& defaults);
// User IDs match as text: case-sensitive, untrimmed, and equal when canonically equivalent (a
// precomposed and a decomposed accented letter match).
bool sameUserID(const QString& a, const QString& b);
bool contains(const QJsonArray& devices, const QString& userID);
// Appends `userID` unless it is there already, and records `name` for it when one is given
// (replacing an older one). Reads the store afresh, so that nothing stored meanwhile is lost.
// False when the store refused the write.
bool remember(UserDefaults& defaults, const QString& userID, const QString& name = QString());
// Removes every entry matching `userID`, and its name; the phone is asked about again on its next
// invitation. False when the store refused the write.
bool forget(UserDefaults& defaults, const QString& userID);
// The name recorded for `userID` (matched as user IDs match), or a null string.
QString name(const UserDefaults& defaults, const QString& userID);

struct Device {
    QString userID;
    QString name; // null when none was recorded
    friend bool operator==(const Device&, const Device&) = default;
};
// The trusted devices, oldest first, each with its recorded name.
QList<Device> namedDevices(const UserDefaults& defaults);
// The user ID as printed: the phone chose its bytes, so control and line-break characters show
// as U+FFFD and cannot forge or garble a line.
QString printable(const QString& userID);

} // namespace trusted
} // namespace glasswing
