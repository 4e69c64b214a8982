#include "mirroring/PreviewPickup.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace glasswing {

PreviewPickup::PreviewPickup(QString folder, QString fileName, QObject* parent)
    : QObject(parent)
    , m_folder(std::move(folder))
    , m_fileName(QFile::encodeName(fileName))
{
    ensureWatching();
}

PreviewPickup::~PreviewPickup()
{
    if (m_inotify >= 0)
        ::close(m_inotify);
}

void PreviewPickup::ensureWatching()
{
    if (m_folder.isEmpty())
        return;
    const QByteArray folder = QFile::encodeName(m_folder);
    struct stat status { };
    const bool exists = ::stat(folder.constData(), &status) == 0;
    if (m_watch >= 0) {
        if (exists && status.st_dev == m_device && status.st_ino == m_inode)
            return;
        // The watched folder was renamed away (or one of its parents was): the one at the path
        // now is another. Its IN_IGNORED comes later and names a number no longer in use.
        inotify_rm_watch(m_inotify, m_watch);
        m_watch = -1;
    }
    if (!exists)
        return;
    if (m_inotify < 0) {
        // Out of descriptors or of inotify instances: the timer alone still finds every file.
        m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0)
            return;
        m_notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
        QObject::connect(m_notifier, &QSocketNotifier::activated, this, &PreviewPickup::readEvents);
    }
    // Stated before it is watched: if it is replaced in between, the next call sees it.
    m_watch = inotify_add_watch(m_inotify, folder.constData(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR);
    m_device = status.st_dev;
    m_inode = status.st_ino;
    if (m_watch >= 0)
        Q_EMIT folderWatched();
}

void PreviewPickup::readEvents()
{
    alignas(inotify_event) char buffer[16 * 1024];
    bool arrived = false;
    for (;;) {
        const ssize_t length = ::read(m_inotify, buffer, sizeof buffer);
        if (length <= 0) {
            if (length < 0 && errno == EINTR)
                continue;
            break;
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            // The folder went away (removed, renamed, its file system unmounted): watch it again
            // once it is back.
            if (event->mask & IN_IGNORED) {
                if (event->wd == m_watch)
                    m_watch = -1;
                continue;
            }
            // An overflowed queue may have lost the event that mattered.
            if (event->mask & IN_Q_OVERFLOW)
                arrived = true;
            else if (event->len > 0 && std::strcmp(event->name, m_fileName.constData()) == 0)
                arrived = true;
        }
    }
    if (arrived)
        Q_EMIT fileArrived();
}

} // namespace glasswing
