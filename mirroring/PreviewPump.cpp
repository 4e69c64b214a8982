// The preview pump: ten times a second (and at once when the plug-in finishes a file), the
// preview file is claimed, read whole, stamped, sent to every connected phone and deleted.

#include "mirroring/PreviewPickup.h"
#include "mirroring/StatusFile.h"
#include "mirroring/ViewController.h"
#include "platform/ConsoleLine.h"
#include "platform/ReadUpTo.h"

#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace glasswing {

namespace {

// At most this many reads of the preview file a second, however fast the plug-in writes.
constexpr qint64 kMinimumReadSpacingMs = 100;

// The name a preview is taken under to be read: hidden, beside it, never written by the plug-in.
const QString kClaimedName = QStringLiteral(".Preview@3x.png.reading");

struct PreviewFile {
    // The frame the file was read into, and how much of it the image is.
    QByteArray frame;
    qint64 imageBytes = 0;
    bool tooLarge = false; // over the largest frame the session sends; not read
    dev_t device = 0;
    ino_t inode = 0;
};

// Opens what is at `path` if it is a regular file (or a symlink to one), else gives -1: whatever
// else sits there (a FIFO with no writer, a directory, a device behind a symlink) reads as no
// file, and opening never blocks.
int openRegularFile(const QString& path, struct stat* status)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, status) != 0 || !S_ISREG(status->st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads the open file whole, and closes it. Reads at most the size the file had when opened, so
// a file that keeps growing cannot hold the tick; a file over `maxImageBytes` is not read at all.
std::optional<PreviewFile> readPreviewFile(int fd, const struct stat& status, qint64 maxImageBytes,
                                           const std::function<void()>& beforeAllocating)
{
    PreviewFile file;
    file.device = status.st_dev;
    file.inode = status.st_ino;
    if (status.st_size > maxImageBytes) {
        file.tooLarge = true;
        ::close(fd);
        return file;
    }
    beforeAllocating();
    // Straight into the frame that is sent: one buffer of the frame's size for the preview.
    file.frame = PreviewData::frameFor(status.st_size);
    const qint64 done = readUpTo(fd, file.frame.data() + PreviewData::imageOffset(status.st_size), status.st_size);
    ::close(fd);
    if (done < 0)
        return std::nullopt;
    file.imageBytes = done;
    if (done < status.st_size) {
        // Truncated meanwhile: what was there is the frame, in a frame of its own size.
        const QByteArray image(file.frame.constData() + PreviewData::imageOffset(status.st_size), qsizetype(done));
        file.frame = PreviewData::frameFor(done);
        std::memcpy(file.frame.data() + PreviewData::imageOffset(done), image.constData(), size_t(done));
    }
    return file;
}

// Deletes a preview read in place, but not a newer one that the plug-in has put there meanwhile:
// that one is the next frame. True when the file read is gone. Only for a folder where the
// preview could not be claimed, where the deletion is expected to fail as well.
bool deleteReadInPlace(const QString& path, const PreviewFile& read)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status { };
    if (::lstat(name.constData(), &status) != 0)
        return errno == ENOENT;
    if (status.st_dev != read.device || status.st_ino != read.inode) {
        // Either a newer file, or a symlink to the file read: only the former must stay.
        struct stat target { };
        if (::stat(name.constData(), &target) != 0 || target.st_dev != read.device || target.st_ino != read.inode)
            return true;
    }
    return ::unlink(name.constData()) == 0 || errno == ENOENT;
}

} // namespace

void ViewController::checkForSketchUpdates()
{
    m_pickup->ensureWatching();
    if (m_lastRead.isValid() && m_lastRead.elapsed() < kMinimumReadSpacingMs) {
        // Too soon after the last read: come back when it is time, once.
        if (!m_deferredTick) {
            m_deferredTick = new QTimer(this);
            m_deferredTick->setSingleShot(true);
            m_deferredTick->setTimerType(Qt::PreciseTimer);
            QObject::connect(m_deferredTick, &QTimer::timeout, this, &ViewController::checkForSketchUpdates);
        }
        if (!m_deferredTick->isActive())
            m_deferredTick->start(int(kMinimumReadSpacingMs - m_lastRead.elapsed()) + 1);
        return;
    }

    const QString path = sharedCacheFile(QStringLiteral("Preview@3x.png"));
    if (path.isEmpty())
        return;
    struct stat status { };
    int fd = openRegularFile(path, &status);
    if (fd < 0)
        return;
    // The file is claimed before it is read: renamed, in one step, to a name of the pump's own, so
    // that a newer preview renamed into place from then on stays there for the next tick instead
    // of being removed with this one.
    const QString claimed = sharedCacheFile(kClaimedName);
    const QByteArray claimedName = QFile::encodeName(claimed);
    bool inPlace = false;
    if (::rename(QFile::encodeName(path).constData(), claimedName.constData()) == 0) {
        // What was claimed may be newer than what was opened: read what was claimed.
        ::close(fd);
        fd = openRegularFile(claimed, &status);
        if (fd < 0) {
            ::unlink(claimedName.constData());
            return;
        }
        if (whilePreviewClaimed)
            whilePreviewClaimed();
    } else if (errno == ENOENT) {
        ::close(fd); // taken away meanwhile
        return;
    } else {
        // A folder or file system that cannot be changed: read in place, and say on every tick
        // that it could not be deleted.
        inPlace = true;
    }
    // The spacing counts attempts: a file that fails to read, put back below, is not tried again
    // at once when the folder reports it back in place.
    m_lastRead.start();
    const qint64 largestFrame = m_limits.maxSendMessageBytes;
    // The frame kept for joining phones goes before the next is read, rather than after: at most
    // one frame's buffer is held here besides the one being read. Nothing can join in between.
    const auto dropKeptFrame = [this] {
        previewSet.reset();
        m_newestFrame.clear();
    };
    std::optional<PreviewFile> file
        = readPreviewFile(fd, status, PreviewData::largestImage(largestFrame), dropKeptFrame);
    if (!file) {
        // Unreadable this time: back in its place for the next tick, unless a newer one is there.
        if (!inPlace
            && ::renameat2(AT_FDCWD, claimedName.constData(), AT_FDCWD, QFile::encodeName(path).constData(),
                           RENAME_NOREPLACE)
                != 0)
            ::unlink(claimedName.constData());
        return;
    }

    if (file->tooLarge) {
        // A frame that cannot be sent: said as a failed send, when a phone would have had it.
        if (!session->connectedPeers().isEmpty()) {
            const peer::PeerError error{
                peer::PeerError::MessageTooLarge,
                QStringLiteral("The preview is larger than the largest frame (%1 bytes).").arg(largestFrame)};
            consoleLine(QStringLiteral("error sending data: ") + error.description());
        }
    } else {
        previewSet = PreviewData::fromFrame(std::move(file->frame), file->imageBytes, PreviewData::now());
        sendPreview();
    }

    const bool deleted
        = inPlace ? deleteReadInPlace(path, *file) : ::unlink(claimedName.constData()) == 0 || errno == ENOENT;
    if (!deleted)
        consoleLine(QStringLiteral("Deletion Error"));
}

void ViewController::discardClaimedPreview()
{
    // Taken to be read by a run that ended before it was sent: stale now, and never sent.
    const QString claimed = sharedCacheFile(kClaimedName);
    if (!claimed.isEmpty())
        ::unlink(QFile::encodeName(claimed).constData());
}

void ViewController::sendPreview()
{
    // Kept as sent, for the phones that join later (SessionEvents.cpp).
    m_newestFrame = previewSet->encoded();
    ++m_newestFrameNumber;
    const QList<peer::PeerID> peers = session->connectedPeers();
    if (peers.isEmpty())
        return;
    for (const peer::PeerID& peer : peers)
        m_frameSentTo.insert(peer, m_newestFrameNumber);
    const std::optional<peer::PeerError> error = session->sendData(m_newestFrame, peers, peer::SendDataMode::Reliable);
    if (error)
        consoleLine(QStringLiteral("error sending data: ") + error->description());
}

} // namespace glasswing
