#pragma once

#include <QObject>
#include <QString>

#include <sys/types.h>

class QSocketNotifier;

namespace glasswing {

// Tells the preview pump, at once, that the plug-in has finished a preview file: one written in
// place and closed, or one renamed into place. The pump's timer still runs; this only spares a
// frame the wait for the next tick.
//
// Watches the folder with inotify, from when it exists: `ensureWatching` starts (or, after the
// folder was removed or another took its place, restarts) the watch and is cheap to call on
// every tick. Main thread.
class PreviewPickup : public QObject {
    Q_OBJECT
public:
    PreviewPickup(QString folder, QString fileName, QObject* parent = nullptr);
    ~PreviewPickup() override;

    void ensureWatching();

Q_SIGNALS:
    void fileArrived();
    // A folder is watched: the first one, or a new one in the place of one that went away. What
    // the app keeps in it (the status file) may have gone with the old one.
    void folderWatched();

private:
    void readEvents();

    const QString m_folder;
    const QByteArray m_fileName;
    int m_inotify = -1;
    int m_watch = -1;
    // The folder being watched. A watch follows its folder when it is renamed, so a new folder
    // at the path is told apart by these.
    dev_t m_device = 0;
    ino_t m_inode = 0;
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace glasswing
