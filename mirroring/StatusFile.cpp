#include "mirroring/StatusFile.h"

#include "platform/ConsoleLine.h"
#include "platform/Paths.h"
#include "platform/SerialQueue.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <unistd.h>

namespace glasswing {

QByteArray Status::encoded() const
{
    QJsonObject object;
    object.insert(QStringLiteral("isConnected"), isConnected);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString sharedCacheFolder()
{
    const QString caches = paths::cachesDirectory();
    return caches.isEmpty() ? QString() : caches + QStringLiteral("/com.tessaro.Preview");
}

QString sharedCacheFile(const QString& name)
{
    const QString folder = sharedCacheFolder();
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + name;
}

void writeStatus(bool isConnected)
{
    const QString folder = sharedCacheFolder();
    if (folder.isEmpty()) {
        // No home folder to put the file in: as failed a write as any.
        consoleLine(QStringLiteral("Couldn't Save Status.json"));
        return;
    }
    // Something other than a folder in its place is left alone: the write below then fails.
    if (!QFileInfo::exists(folder) && !QDir().mkpath(folder))
        consoleLine(QStringLiteral("Couldn't Create Preview Folder"));

    const QByteArray bytes = Status{isConnected}.encoded();
    QSaveFile file(sharedCacheFile(QStringLiteral("status.json")));
    // commit() does not notice a failed flush (a full disk) and would rename the empty temporary
    // file into place: flush to the disk and check it first, and on failure let the destructor
    // throw the temporary file away.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
        || ::fsync(file.handle()) != 0 || !file.commit())
        consoleLine(QStringLiteral("Couldn't Save Status.json"));
}

void updateStatus(SerialQueue& queue, bool isConnected)
{
    queue.async([isConnected] { writeStatus(isConnected); });
}

} // namespace glasswing
