// glasswing-preview FILE: puts a PNG in place for the app as the plug-in does, so that any program
// can feed previews to the phones.

#include "app/TerminationSignals.h"
#include "mirroring/PreviewData.h"
#include "mirroring/StatusFile.h"
#include "platform/ReadUpTo.h"
#include "platform/peer/PeerLimits.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kPlaced = 0;
constexpr int kFailed = 1;
constexpr int kNotPng = 2;
constexpr int kTooLarge = 3;
constexpr int kUsage = 64;

constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";
constexpr qsizetype kPngSignatureSize = 8;
const QString kFinalName = QStringLiteral("Preview@3x.png");

// The most the app sends: a larger file would be taken and dropped unseen.
qint64 largestImage()
{
    return glasswing::PreviewData::largestImage(glasswing::peer::PeerLimits{}.maxSendMessageBytes);
}

void say(const QString& message)
{
    std::fprintf(stderr, "glasswing-preview: %s\n", message.toLocal8Bit().constData());
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

struct Outcome {
    int code = kPlaced;
    QString message;
};

// Reads `path` whole: a regular file, a PNG by its signature, no larger than the app sends.
std::optional<QByteArray> readPng(const QString& path, Outcome* outcome)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *outcome = {kFailed, QStringLiteral("cannot read %1: %2").arg(path, systemError())};
        return std::nullopt;
    }
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        *outcome = {kFailed, QStringLiteral("%1 is not a regular file").arg(path)};
        return std::nullopt;
    }
    const qint64 limit = largestImage();
    // One byte over the limit is enough to tell a file that grew since fstat.
    QByteArray bytes(qsizetype(qMin<qint64>(status.st_size, limit) + 1), Qt::Uninitialized);
    const qint64 done = glasswing::readUpTo(fd, bytes.data(), bytes.size());
    if (done < 0)
        *outcome = {kFailed, QStringLiteral("cannot read %1: %2").arg(path, systemError())};
    ::close(fd);
    if (done < 0)
        return std::nullopt;
    bytes.truncate(qsizetype(done));
    if (!bytes.startsWith(QByteArray(kPngSignature, kPngSignatureSize))) {
        *outcome
            = {kNotPng, QStringLiteral("%1 is not a PNG (it lacks the PNG signature); nothing was placed").arg(path)};
        return std::nullopt;
    }
    if (bytes.size() > limit) {
        *outcome = {kTooLarge,
                    QStringLiteral("%1 is larger than %2 bytes, the largest image the app sends; nothing was placed")
                        .arg(path)
                        .arg(limit)};
        return std::nullopt;
    }
    return bytes;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        done += n;
    }
    return true;
}

// Copies `source` to a temporary file in the shared folder, makes it durable, then renames it to
// the final name: the app never sees a half-written preview.
Outcome place(const QString& source)
{
    Outcome outcome;
    const std::optional<QByteArray> bytes = readPng(source, &outcome);
    if (!bytes)
        return outcome;
    const QString folder = glasswing::sharedCacheFolder();
    if (folder.isEmpty())
        return {kFailed, QStringLiteral("no caches folder (HOME and XDG_CACHE_HOME are unset or relative)")};
    if (!QDir().mkpath(folder))
        return {kFailed, QStringLiteral("cannot create %1").arg(folder)};

    // A dot name the app does not pick up, unique so that several writers never share one.
    QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.") + kFinalName) + ".XXXXXX.part";
    const int fd = ::mkostemps(temporary.data(), 5, O_CLOEXEC);
    if (fd < 0)
        return {kFailed, QStringLiteral("cannot create a file in %1: %2").arg(folder, systemError())};
    const bool written = writeAll(fd, *bytes) && ::fsync(fd) == 0;
    const QString why = systemError();
    const bool closed = ::close(fd) == 0;
    const QByteArray final = QFile::encodeName(folder + u'/' + kFinalName);
    if (!written || !closed || ::rename(temporary.constData(), final.constData()) != 0) {
        const QString renameWhy = systemError();
        ::unlink(temporary.constData());
        return {kFailed,
                QStringLiteral("cannot write %1: %2").arg(QString::fromLocal8Bit(final), written ? renameWhy : why)};
    }
    // The rename itself reaches the disk with the folder.
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return {kPlaced, QStringLiteral("placed %1 (%2 bytes)").arg(source).arg(bytes->size())};
}

// What tells one version of the watched file from another, whether written in place or replaced.
struct Version {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const Version& other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec
            && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

std::optional<Version> versionOf(const QString& path)
{
    struct stat status { };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return Version{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

// Places the file each time it changes, until a termination signal.
int watch(const QString& source)
{
    const QString path = QFileInfo(source).absoluteFilePath();
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        say(QStringLiteral("cannot watch %1: its folder does not exist").arg(source));
        return kFailed;
    }
    glasswing::TerminationSignals termination;
    QObject::connect(&termination, &glasswing::TerminationSignals::received, qApp, &QCoreApplication::quit);

    QFileSystemWatcher watcher;
    // The folder too: an editor that saves by renaming a new file over the old one replaces what
    // a watch on the file follows.
    watcher.addPath(folder);
    QTimer debounce;
    debounce.setSingleShot(true);
    debounce.setInterval(100); // one placement for a save that comes as several writes
    std::optional<Version> last;
    const auto placeIfChanged = [&] {
        if (!watcher.files().contains(path) && QFileInfo::exists(path))
            watcher.addPath(path);
        const std::optional<Version> now = versionOf(path);
        if (!now || (last && *last == *now))
            return; // gone (mid-save), or unchanged: another file in the folder changed
        last = now;
        const Outcome outcome = place(path);
        if (outcome.code == kPlaced) {
            std::printf("%s\n", outcome.message.toLocal8Bit().constData());
            std::fflush(stdout);
        } else {
            say(outcome.message);
        }
    };
    QObject::connect(&debounce, &QTimer::timeout, placeIfChanged);
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &debounce, qOverload<>(&QTimer::start));
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &debounce, qOverload<>(&QTimer::start));
    placeIfChanged();
    termination.unblock();
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    // Before any thread exists: a signal waits until the watch loop can end in order.
    glasswing::TerminationSignals::block();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("glasswing-preview"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Puts a PNG where Glasswing picks previews up, so that the app sends it to the connected\n"
                       "phones:\n"
                       "  %1\n"
                       "The file is copied beside that name, made durable, then renamed into place, so the app\n"
                       "never reads half a file. The folder is created when missing.\n"
                       "\n"
                       "Exit status: 0 placed; 1 the file could not be read or placed; 2 not a PNG;\n"
                       "3 larger than %2 bytes, the largest image the app sends; 64 wrong arguments.")
            .arg(glasswing::sharedCacheFile(kFinalName).isEmpty() ? QStringLiteral("~/.cache/com.tessaro.Preview/")
                                                                  : glasswing::sharedCacheFile(kFinalName))
            .arg(largestImage()));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The PNG to put in place."));
    const QCommandLineOption watchOption(
        QStringLiteral("watch"),
        QStringLiteral("Keep running and put FILE in place again each time it changes, also when an editor saves "
                       "it by renaming a new file over it. Ends on SIGINT or SIGTERM."));
    parser.addOption(watchOption);
    if (!parser.parse(QCoreApplication::arguments())) {
        say(parser.errorText());
        return kUsage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1) {
        say(QStringLiteral("give exactly one FILE (see --help)"));
        return kUsage;
    }

    if (parser.isSet(watchOption))
        return watch(files.first());
    const Outcome outcome = place(files.first());
    if (outcome.code != kPlaced)
        say(outcome.message);
    return outcome.code;
}
