#pragma once

#include <QJsonObject>
#include <QString>

namespace glasswing {

// The application's bundle settings, compiled in as ":/Info.json" (see resources/): its
// versions ("CFBundleShortVersionString", "CFBundleVersion") and its update feed ("SUFeedURL").
// Read once; an empty object when the resource is missing or unreadable.
const QJsonObject& infoDictionary();

// The string under `key`; null when absent or not a string.
QString infoDictionaryString(const QString& key);

} // namespace glasswing
