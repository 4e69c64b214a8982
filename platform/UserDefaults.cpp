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
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
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

// Holds an exclusive flock() on `path` while it lives, creating the file when it is missing.
// The lock file is never removed: two processes could otherwise lock two different files.
// flock() locks belong to the open file description, so threads of one process exclude each
// other as well; the process-wide mutex is kept all the same.
class FileLock {
public:
    explicit FileLock(const QString& path)
    {
        // Read-only is enough for flock(), and lets a lock file made by another user serve.
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            m_error = errno;
            return;
        }
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_error = errno;
                ::close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool isLocked() const { return m_fd >= 0; }
    // Why it is not locked.
    QString errorString() const { return QString::fromLocal8Bit(std::strerror(m_error)); }

private:
    int m_fd = -1;
    int m_error = 0;
};

// Renames `from` to `to` unless `to` exists; false, with errno EEXIST, when it does.
bool renameWithoutReplacing(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: a hard link refuses a taken name the same way.
    if (::link(source.constData(), target.constData()) != 0)
        return false;
    ::unlink(source.constData());
    return true;
}

// Moves the file at `path` to the first free name of "<path>.corrupt", "<path>.corrupt-2", ...,
// so that no earlier copy is ever replaced. Returns the name it took, or an empty string.
QString setAside(const QString& path)
{
    for (int n = 1; n <= 1000; ++n) {
        QString aside = path + QStringLiteral(".corrupt");
        if (n > 1)
            aside += QLatin1Char('-') + QString::number(n);
        if (renameWithoutReplacing(path, aside))
            return aside;
        if (errno != EEXIST)
            return {};
    }
    return {};
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

    const QString folder = QFileInfo(m_filePath).absolutePath();
    if (!QDir().mkpath(folder)) {
        qCWarning(lcDefaults) << "cannot create" << folder;
        return false;
    }
    // Other processes write the same file (a second instance, a tool). One lock from the read to
    // the commit loses no update of theirs, and sets a corrupt file aside exactly once.
    const FileLock lock(m_filePath + QStringLiteral(".lock"));
    if (!lock.isLocked()) {
        qCWarning(lcDefaults).noquote()
            << QStringLiteral("cannot lock %1.lock (%2); not storing \"%3\"").arg(m_filePath, lock.errorString(), key);
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
        // Keep what cannot be parsed instead of silently replacing it.
        const QString aside = setAside(m_filePath);
        if (aside.isEmpty()) {
            qCWarning(lcDefaults) << "cannot set aside the corrupt store" << m_filePath << std::strerror(errno);
            return false;
        }
        qCWarning(lcDefaults) << "the store could not be parsed; kept it as" << aside;
    }
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);

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
