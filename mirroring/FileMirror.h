#pragma once

#include "mirroring/PreviewFile.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>
#include <sys/types.h>
#include <time.h>

namespace glasswing {

// Mirrors one image file: puts it in place for the app now, and again after every save of it,
// whether the editor writes the file in place or renames a new file over it (which replaces what
// a watch on the file alone would follow), until it is destroyed or stopped. Used by
// glasswing-preview --watch and by the app's "Mirror a File…".
//
// Main thread (or the thread that made it, with an event loop): the watch and its settling timer
// live there, and each placement runs there synchronously. A save that comes as several writes
// is placed once, after 100 ms of quiet; a change elsewhere in the file's folder places nothing.
// A file gone for a moment (mid-save) is waited for, not reported.
class FileMirror : public QObject {
    Q_OBJECT
public:
    // Places into `destinationFolder` (the shared folder, or a test's), refusing what is larger
    // than `largestImage`; `formats` says whether only PNGs are taken.
    FileMirror(QString destinationFolder, qint64 largestImage, previewfile::Formats formats, QObject* parent = nullptr);

    // Starts watching `path` (made absolute) and places it at once; returns what that first
    // placement came to, also reported through `placed` or `failed` (not when the file is missing:
    // then Failed is returned and the first save is waited for). Watching goes on whatever the
    // first placement came to; false in `watching()` only when the file's folder does not exist.
    previewfile::Outcome start(const QString& path);
    void stop();

    bool watching() const { return !m_path.isEmpty(); }
    // The file mirrored, absolute; empty when none.
    const QString& path() const { return m_path; }
    // Placements so far, the first included.
    int placements() const { return m_placements; }

Q_SIGNALS:
    // One placement of `path()`: `message` says what (the file and its size).
    void placed(const QString& message);
    // A version of the file that could not be placed: nothing else changed.
    void failed(const previewfile::Outcome& outcome);

private:
    // What tells one version of the file from another, whether written in place or replaced.
    struct Version {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
        bool operator==(const Version& other) const;
    };
    static std::optional<Version> versionOf(const QString& path);
    // Nothing when the file is missing or unchanged since the last placement.
    std::optional<previewfile::Outcome> placeIfChanged();

    const QString m_folder;
    const qint64 m_largestImage;
    const previewfile::Formats m_formats;
    QString m_path;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer m_settle;
    std::optional<Version> m_last;
    int m_placements = 0;
};

} // namespace glasswing
