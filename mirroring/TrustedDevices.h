#pragma once

#include <QJsonArray>
#include <QString>
#include <QStringList>

namespace glasswing {

class UserDefaults;

// The remembered devices: user IDs under "Trusted Devices", oldest first. The stored value may
// hold elements that are not strings; they match nothing and are kept when the list is written.
namespace trusted {

// The list as stored: an array, or empty when absent or not an array.
QJsonArray devices(const UserDefaults& defaults);
// The user IDs of the list, oldest first (elements that are not strings left out).
QStringList userIDs(const UserDefaults& defaults);
// User IDs match as text: case-sensitive, untrimmed, and equal when canonically equivalent (a
// precomposed and a decomposed accented letter match).
bool sameUserID(const QString& a, const QString& b);
bool contains(const QJsonArray& devices, const QString& userID);
// Appends `userID` unless it is there already. Reads the store afresh, so that nothing stored
// meanwhile is lost. False when the store refused the write.
bool remember(UserDefaults& defaults, const QString& userID);
// Removes every entry matching `userID`; the phone is asked about again on its next invitation.
// False when the store refused the write.
bool forget(UserDefaults& defaults, const QString& userID);
// The user ID as printed: the phone chose its bytes, so control and line-break characters show
// as U+FFFD and cannot forge or garble a line.
QString printable(const QString& userID);

} // namespace trusted
} // namespace glasswing
