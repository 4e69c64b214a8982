#include "mirroring/FileMirror.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace glasswing {

bool FileMirror::Version::operator==(const Version& other) const
{
    return device == other.device && inode == other.inode && size == other.size
        && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
        && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

std::optional<FileMirror::Version> FileMirror::versionOf(const QString& path)
{
    struct stat status { };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return Version{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

FileMirror::FileMirror(QString destinationFolder, qint64 largestImage, previewfile::Formats formats, QObject* parent)
    : QObject(parent)
    , m_folder(std::move(destinationFolder))
    , m_largestImage(largestImage)
    , m_formats(formats)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(100);
    connect(&m_settle, &QTimer::timeout, this, [this] { placeIfChanged(); });
}

previewfile::Outcome FileMirror::start(const QString& path)
{
    stop();
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QString folder = QFileInfo(absolute).absolutePath();
    if (!QFileInfo(folder).isDir())
        return {previewfile::Outcome::Failed, QStringLiteral("cannot watch %1: its folder does not exist").arg(path)};
    m_path = absolute;
    m_watcher = new QFileSystemWatcher(this);
    // The folder too: an editor that saves by renaming a new file over the old one replaces what
    // a watch on the file follows.
    m_watcher->addPath(folder);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, &m_settle, qOverload<>(&QTimer::start));
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, &m_settle, qOverload<>(&QTimer::start));
    if (std::optional<previewfile::Outcome> first = placeIfChanged())
        return *first;
    return {previewfile::Outcome::Failed, QStringLiteral("cannot read %1: it does not exist").arg(path)};
}

void FileMirror::stop()
{
    m_settle.stop();
    delete m_watcher;
    m_watcher = nullptr;
    m_path.clear();
    m_last.reset();
}

std::optional<previewfile::Outcome> FileMirror::placeIfChanged()
{
    if (!m_watcher)
        return std::nullopt;
    if (!m_watcher->files().contains(m_path) && QFileInfo::exists(m_path))
        m_watcher->addPath(m_path);
    const std::optional<Version> now = versionOf(m_path);
    if (!now || (m_last && *m_last == *now))
        return std::nullopt; // gone (mid-save), or unchanged: another file in the folder changed
    m_last = now;
    previewfile::Outcome outcome;
    const std::optional<QByteArray> png = previewfile::readImage(m_path, m_formats, m_largestImage, &outcome);
    if (png)
        outcome = previewfile::place(*png, m_folder);
    if (outcome.code == previewfile::Outcome::Placed) {
        ++m_placements;
        outcome.message = QStringLiteral("placed %1 (%2 bytes)").arg(m_path).arg(png->size());
        Q_EMIT placed(outcome.message);
    } else {
        Q_EMIT failed(outcome);
    }
    return outcome;
}

} // namespace glasswing
