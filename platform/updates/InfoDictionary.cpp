#include "platform/updates/InfoDictionary.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>

namespace glasswing {

const QJsonObject& infoDictionary()
{
    static const QJsonObject dictionary = [] {
        QFile file(QStringLiteral(":/Info.json"));
        if (!file.open(QIODevice::ReadOnly))
            return QJsonObject();
        return QJsonDocument::fromJson(file.readAll()).object();
    }();
    return dictionary;
}

QString infoDictionaryString(const QString& key)
{
    const QJsonValue value = infoDictionary().value(key);
    return value.isString() ? value.toString() : QString();
}

} // namespace glasswing
