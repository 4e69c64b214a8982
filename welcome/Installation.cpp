// The installation check and the install button's action: which of three states holds (the
// design tool missing, the plug-in missing, both installed), and copying the plug-in into place.

#include "platform/Bundle.h"
#include "platform/ConsoleLine.h"
#include "platform/Paths.h"
#include "platform/Workspace.h"
#include "welcome/WelcomeViewController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace glasswing {

namespace {

struct InstallationState {
    bool isSketchInstalled;
    bool isGlasswingInstalled;
    const char* image;
    const char* alternateImage;
};

constexpr InstallationState kInstalled{true, true, "Install Plugin Button (Marker)", "Install Plugin Button (Marker)"};
constexpr InstallationState kPluginMissing{true, false, "Install Plugin Button", "Install Plugin Button (Selected)"};
constexpr InstallationState kSketchMissing{false, false, "Get Sketch Button", "Get Sketch Button (Selected)"};

// Any item at all, a dangling symlink included: something is in the way of a copy there.
bool itemExists(const QString& path)
{
    struct stat status { };
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

// The names in `folder`, sorted; false when it cannot be read to the end (no read permission,
// an I/O error): a short list would make a copy that lacks files and yet looks whole.
bool listFolder(const QByteArray& folder, QByteArrayList* names)
{
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return false;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names->append(QByteArray(entry->d_name));
        errno = 0;
    }
    const bool complete = errno == 0;
    ::closedir(dir);
    std::sort(names->begin(), names->end());
    return complete;
}

// Removes `path` and everything in it, never following a symlink. Folders are made writable
// first: a copy of read-only folders must go as well.
void removeItem(const QByteArray& path)
{
    struct stat status { };
    if (::lstat(path.constData(), &status) != 0)
        return;
    if (!S_ISDIR(status.st_mode)) {
        ::unlink(path.constData());
        return;
    }
    ::chmod(path.constData(), 0700);
    QByteArrayList names;
    listFolder(path, &names);
    for (const QByteArray& name : names)
        removeItem(path + '/' + name);
    ::rmdir(path.constData());
}

// Copies `source` (a file, a folder with everything in it, or a symlink) to `destination`,
// which must not exist. Permissions are kept; symlinks are copied as symlinks, never followed.
// With `topFolderMode`, a folder at the top keeps its own mode there instead: moving a folder to
// another parent needs write permission on it, so it gets its mode once in place.
bool copyItem(const QString& source, const QString& destination, std::optional<mode_t>* topFolderMode = nullptr)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(destination);
    struct stat status { };
    if (::lstat(from.constData(), &status) != 0)
        return false;
    if (S_ISLNK(status.st_mode)) {
        QByteArray link(qsizetype(status.st_size) + 1, '\0');
        const ssize_t length = ::readlink(from.constData(), link.data(), size_t(link.size()));
        return length >= 0 && ::symlink(link.left(length).constData(), to.constData()) == 0;
    }
    if (S_ISDIR(status.st_mode)) {
        // Writable while it fills, or a read-only source folder would refuse its own contents;
        // its mode comes once it is complete.
        if (::mkdir(to.constData(), 0700) != 0)
            return false;
        QByteArrayList entries;
        if (!listFolder(from, &entries))
            return false;
        for (const QByteArray& entry : entries) {
            const QString name = QFile::decodeName(entry);
            if (!copyItem(source + u'/' + name, destination + u'/' + name))
                return false;
        }
        if (topFolderMode) {
            *topFolderMode = status.st_mode & 07777;
            return true;
        }
        return ::chmod(to.constData(), status.st_mode & 07777) == 0;
    }
    if (!S_ISREG(status.st_mode))
        return false;
    QFile in(source);
    QFile out(destination);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = in.read(buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (out.write(buffer, n) != n)
            return false;
    }
    return out.flush() && ::fsync(out.handle()) == 0
        && out.setPermissions(QFileDevice::Permissions(QFile::permissions(source)));
}

// Puts a copy of `source` at `destination` whole or not at all: it is assembled under a
// temporary name beside the destination and moved into place only if nothing is there by then.
// An item that appears at the destination meanwhile is never replaced.
bool installItem(const QString& source, const QString& destination)
{
    QByteArray scratch = QFile::encodeName(QFileInfo(destination).absolutePath() + QStringLiteral("/.")
                                           + QFileInfo(destination).fileName() + QStringLiteral(".XXXXXX"));
    if (!::mkdtemp(scratch.data()))
        return false;
    const QString temporary = QFile::decodeName(scratch);
    const QString assembled = temporary + QStringLiteral("/item");
    std::optional<mode_t> folderMode;
    bool placed = copyItem(source, assembled, &folderMode);
    if (placed) {
        placed = ::renameat2(AT_FDCWD, QFile::encodeName(assembled).constData(), AT_FDCWD,
                             QFile::encodeName(destination).constData(), RENAME_NOREPLACE)
            == 0;
        // A kernel or file system that cannot promise "no replace" gets a plain rename only
        // while the place is still free.
        if (!placed && (errno == EINVAL || errno == ENOSYS) && !itemExists(destination))
            placed
                = ::rename(QFile::encodeName(assembled).constData(), QFile::encodeName(destination).constData()) == 0;
    }
    removeItem(scratch);
    if (placed && folderMode)
        ::chmod(QFile::encodeName(destination).constData(), *folderMode);
    return placed;
}

} // namespace

QString WelcomeViewController::sketchFolder()
{
    const QString base = paths::applicationSupportDirectory();
    return base.isEmpty() ? QString() : base + QStringLiteral("/com.bohemiancoding.sketch3");
}

QString WelcomeViewController::pluginFolder()
{
    const QString sketch = sketchFolder();
    return sketch.isEmpty() ? QString() : sketch + QStringLiteral("/Plugins");
}

QString WelcomeViewController::pluginDestination()
{
    const QString plugins = pluginFolder();
    return plugins.isEmpty() ? QString() : plugins + QStringLiteral("/Glasswing.sketchplugin");
}

void WelcomeViewController::checkInstallations()
{
    // With no application-data folder at all (no home), nothing can be installed: the design
    // tool counts as missing.
    const InstallationState& state = itemExists(pluginDestination()) ? kInstalled
        : itemExists(pluginFolder())                                 ? kPluginMissing
                                                                     : kSketchMissing;
    if (isSketchInstalled == state.isSketchInstalled && isGlasswingInstalled == state.isGlasswingInstalled)
        return;
    isSketchInstalled = state.isSketchInstalled;
    isGlasswingInstalled = state.isGlasswingInstalled;
    const QString image = QString::fromLatin1(state.image);
    const QString alternate = QString::fromLatin1(state.alternateImage);
    runAnimationGroup([&](AnimationContext& context) { applyInstallButtonImages(context, image, alternate); });
}

void WelcomeViewController::InstallPlugin()
{
    if (isSketchInstalled != true) {
        openURL(kSketchWebSite);
        return;
    }
    if (isGlasswingInstalled != false)
        return;
    const QString destination = pluginDestination();
    // The bundle itself, not a link to it that a package may ship: copied as a link, it would
    // point into the app's files, or nowhere from the plug-in folder if relative.
    const QString source
        = QFileInfo(pathForResource(QStringLiteral("Glasswing"), QStringLiteral("sketchplugin"))).canonicalFilePath();
    if (source.isEmpty()) {
        consoleLine(QStringLiteral("Plugin Bundle Error"));
        return;
    }
    if (!installItem(source, destination))
        consoleLine(QStringLiteral("Couldn't Copy Plugin"));
    checkInstallations();
}

void WelcomeViewController::ConnectPhone()
{
    Q_EMIT connectPhoneRequested();
}

} // namespace glasswing
