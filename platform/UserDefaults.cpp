#include "platform/UserDefaults.h"

#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcDefaults, "glasswing.defaults")

namespace glasswing {

namespace {

std::mutex& storeLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

UserDefaults::UserDefaults()
    : m_filePath(defaultFilePath())
{
}

UserDefaults::UserDefaults(QString filePath)
    : m_filePath(std::move(filePath))
{
}

QString UserDefaults::defaultFilePath()
{
    const QString config = paths::configDirectory();
    if (config.isEmpty())
        return {};
    return config + QStringLiteral("/com.tessaro.Glasswing/defaults.json");
}

UserDefaults::FileState UserDefaults::load(QJsonObject* object, QString* why) const
{
    *object = {};
    const auto failed = [why](const char* what) {
        *why = QString::fromLatin1(what) + QString::fromLocal8Bit(std::strerror(errno));
        return FileState::Unreadable;
    };
    // Not blocking, so that a FIFO in the file's place cannot hang the store (it is refused below).
    const int fd = ::open(QFile::encodeName(m_filePath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        // Only a file that is not there is an empty store: anything else may hold the user's data.
        if (errno == ENOENT || errno == ENOTDIR)
            return FileState::Missing;
        return failed("cannot open: ");
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat info { };
    if (::fstat(fd, &info) != 0)
        return failed("cannot examine: ");
    if (!S_ISREG(info.st_mode)) {
        *why = QStringLiteral("not a regular file");
        return FileState::Unreadable;
    }
    QByteArray bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0)
            bytes.append(buffer, qsizetype(got));
        else if (got == 0)
            break;
        else if (errno != EINTR)
            return failed("cannot read: ");
    }

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return FileState::Corrupt;
    *object = document.object();
    return FileState::Parsed;
}

bool UserDefaults::boolForKey(const QString& key) const
{
    return objectForKey(key).toBool(false);
}

QString UserDefaults::stringForKey(const QString& key) const
{
    const QJsonValue value = objectForKey(key);
    return value.isString() ? value.toString() : QString();
}

QStringList UserDefaults::stringArrayForKey(const QString& key) const
{
    QStringList strings;
    const QJsonValue value = objectForKey(key);
    if (!value.isArray())
        return strings;
    const QJsonArray array = value.toArray();
    for (const QJsonValue& element : array) {
        if (element.isString())
            strings.append(element.toString());
    }
    return strings;
}

QJsonValue UserDefaults::objectForKey(const QString& key) const
{
    const std::lock_guard<std::mutex> guard(storeLock());
    QJsonObject object;
    QString why;
    load(&object, &why);
    return object.value(key);
}

bool UserDefaults::setBool(const QString& key, bool value)
{
    return store(key, QJsonValue(value));
}

bool UserDefaults::setString(const QString& key, const QString& value)
{
    return store(key, QJsonValue(value));
}

bool UserDefaults::setStringArray(const QString& key, const QStringList& value)
{
    return store(key, QJsonArray::fromStringList(value));
}

bool UserDefaults::setObject(const QString& key, const QJsonValue& value)
{
    return store(key, value);
}

bool UserDefaults::removeObjectForKey(const QString& key)
{
    return store(key, QJsonValue(QJsonValue::Undefined));
}

bool UserDefaults::store(const QString& key, const QJsonValue& value)
{
    const std::lock_guard<std::mutex> guard(storeLock());
    if (m_filePath.isEmpty()) {
        qCWarning(lcDefaults) << "no configuration folder; cannot store" << key;
        return false;
    }

    QJsonObject object;
    QString why;
    const FileState state = load(&object, &why);
    if (state == FileState::Unreadable) {
        // Writing now would replace data that is there but cannot be seen.
        const QString message = QStringLiteral("cannot read %1 (%2); leaving it untouched and not storing \"%3\"");
        qCWarning(lcDefaults).noquote() << message.arg(m_filePath, why, key);
        return false;
    }
    if (state == FileState::Corrupt) {
        // Keep what cannot be read instead of silently replacing it.
        const QString aside = m_filePath + QStringLiteral(".corrupt");
        QFile::remove(aside);
        if (!QFile::rename(m_filePath, aside)) {
            qCWarning(lcDefaults) << "cannot set aside the unreadable store" << m_filePath;
            return false;
        }
        qCWarning(lcDefaults) << "the store could not be read; kept it as" << aside;
    }
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);

    const QString folder = QFileInfo(m_filePath).absolutePath();
    if (!QDir().mkpath(folder)) {
        qCWarning(lcDefaults) << "cannot create" << folder;
        return false;
    }
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        qCWarning(lcDefaults) << "cannot write" << m_filePath << file.errorString();
        return false;
    }
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    // The rename that commit() does is only as good as the data under it, and commit() does not
    // notice a failed flush (a full disk): flush to the disk and check it first, so neither a
    // full disk nor a power loss right after can leave a renamed but empty file.
    if (file.write(bytes) != bytes.size() || !file.flush() || ::fsync(file.handle()) != 0 || !file.commit()) {
        qCWarning(lcDefaults) << "cannot write" << m_filePath << file.errorString();
        return false;
    }
    return true;
}

} // namespace glasswing
