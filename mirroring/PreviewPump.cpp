// The preview pump: ten times a second (and at once when the plug-in finishes a file), the
// preview file is read whole, stamped, sent to every connected phone and deleted.

#include "mirroring/PreviewPickup.h"
#include "mirroring/StatusFile.h"
#include "mirroring/ViewController.h"
#include "platform/ConsoleLine.h"
#include "platform/ReadUpTo.h"

#include <QFile>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace glasswing {

namespace {

// At most this many reads of the preview file a second, however fast the plug-in writes.
constexpr qint64 kMinimumReadSpacingMs = 100;

struct PreviewFile {
    QByteArray bytes;
    bool tooLarge = false; // over the largest frame the session sends; not read
    dev_t device = 0;
    ino_t inode = 0;
};

// Reads the preview file whole, or says that there is none to read. Only a regular file counts:
// whatever else sits at the path (a FIFO with no writer, a directory, a device behind a symlink)
// reads as no file, and opening never blocks. Reads at most the size the file had when opened, so a
// file that keeps growing cannot hold the tick; a file over `maxImageBytes` is not read at all.
std::optional<PreviewFile> readPreviewFile(const QString& path, qint64 maxImageBytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    PreviewFile file;
    file.device = status.st_dev;
    file.inode = status.st_ino;
    if (status.st_size > maxImageBytes) {
        file.tooLarge = true;
        ::close(fd);
        return file;
    }
    file.bytes.resize(qsizetype(status.st_size));
    // A file truncated meanwhile gives what was there: that is the frame.
    const qint64 done = readUpTo(fd, file.bytes.data(), status.st_size);
    ::close(fd);
    if (done < 0)
        return std::nullopt;
    file.bytes.truncate(qsizetype(done));
    return file;
}

// Deletes the preview file that was read, but not a newer one that the plug-in has put in its
// place meanwhile: that one is the next frame. True when the file read is gone.
bool deletePreviewFile(const QString& path, const PreviewFile& read)
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
    const qint64 largestFrame = m_limits.maxSendMessageBytes;
    const std::optional<PreviewFile> file = readPreviewFile(path, PreviewData::largestImage(largestFrame));
    if (!file)
        return;
    m_lastRead.start();

    if (file->tooLarge) {
        // A frame that cannot be sent: said as a failed send, when a phone would have had it.
        if (!session->connectedPeers().isEmpty()) {
            const peer::PeerError error{
                peer::PeerError::MessageTooLarge,
                QStringLiteral("The preview is larger than the largest frame (%1 bytes).").arg(largestFrame)};
            consoleLine(QStringLiteral("error sending data: ") + error.description());
        }
    } else {
        previewSet = PreviewData{PreviewData::now(), file->bytes};
        sendPreview();
    }

    if (!deletePreviewFile(path, *file))
        consoleLine(QStringLiteral("Deletion Error"));
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
