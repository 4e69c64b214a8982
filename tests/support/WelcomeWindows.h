#pragma once

// What the welcome-window tests share: the windows open, the addresses handed to the desktop,
// and the plug-in folders as they stand on disk.

#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>
#include <QUrl>
#include <QWidget>

#include <sys/stat.h>
#include <unistd.h>

namespace glasswing::test {

inline QList<QWidget*> openWelcomeWindows()
{
    QList<QWidget*> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->objectName() == QStringLiteral("WelcomeView") && window->isVisible())
            windows << window;
    }
    return windows;
}

// Between tests: every window closed and deleted, so that none outlives its test's home.
inline void closeAllWindows()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The web addresses the app asked the desktop to open.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    OpenedUrls() { QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open"); }
    ~OpenedUrls() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

inline int modeOf(const QString& path)
{
    struct stat status { };
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

// Every item under `root`, relative to it: folders as "<dir>" and their mode, symlinks as
// "-> target", files as their mode and bytes.
inline QMap<QString, QByteArray> tree(const QString& root)
{
    QMap<QString, QByteArray> items;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QByteArray item = "<other>"; // never opened: a FIFO would block the reader
        if (info.isSymLink()) {
            char target[4096];
            const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            item = "-> " + QByteArray(target, length < 0 ? 0 : qsizetype(length));
        } else if (info.isDir()) {
            item = "<dir> " + QByteArray::number(modeOf(path), 8);
        } else if (info.isFile()) {
            item = QByteArray::number(modeOf(path), 8) + ' ' + readAll(path);
        }
        items.insert(QDir(root).relativeFilePath(path), item);
    }
    return items;
}

} // namespace glasswing::test
