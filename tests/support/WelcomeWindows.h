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

// Every item under `root`, relative to it: folders as "<dir>" and their mode, symlinks as
// "-> target", files as their mode and bytes.
inline QMap<QString, QByteArray> tree(const QString& root)
{
    QMap<QString, QByteArray> items;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QByteArray path = QFile::encodeName(info.filePath());
        struct stat status { };
        ::lstat(path.constData(), &status);
        const QByteArray mode = QByteArray::number(status.st_mode & 07777, 8);
        char target[4096];
        const ssize_t length = ::readlink(path.constData(), target, sizeof target);
        // Anything else is never opened: a FIFO would block the reader.
        items.insert(QDir(root).relativeFilePath(info.filePath()),
                     info.isSymLink() ? "-> " + QByteArray(target, qMax<qsizetype>(length, 0))
                         : info.isDir() ? "<dir> " + mode
                         : info.isFile() ? mode + ' ' + readAll(info.filePath())
                                         : QByteArray("<other>"));
    }
    return items;
}

} // namespace glasswing::test
