#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

namespace glasswing {

// The application's user-defaults store: a handful of typed keys kept in one JSON file.
//
// Booleans, strings and arrays of strings are stored as their JSON kinds and kept apart: an
// array of one string stays an array. Any other value found in the file (a number, an object)
// is kept as it is and written back untouched.
//
// Every handle made on the same file sees the same store: reads go to the file and writes
// replace it, so two handles (the main controller's and the application delegate's) never
// disagree. Writes are atomic: a temporary file in the same folder is flushed to disk and then
// renamed over the old one, so a crash or a kill at any moment leaves the old or the new file,
// never a torn one; a write that fails on the way (a full disk) leaves the old file as it was.
//
// Only a missing file is an empty store. A file that is there but cannot be read (no read
// permission, a directory in its place, an I/O error) reads as absent values too, but is never
// replaced: every setter then refuses. A file that is read but cannot be parsed reads as an
// empty store; before the next write replaces it, it is kept beside the store under a name of
// its own, "<name>.corrupt", then "<name>.corrupt-2" and so on, so that no earlier copy and none
// of the user's data is lost.
//
// Thread-safe: every operation takes a process-wide lock. Safe across processes too: each write
// holds an flock() on "<name>.lock" in the same folder from reading the file to replacing it, so
// writers in several processes lose no update and set a corrupt file aside once. Reads take no
// file lock: they see the old file or the new one (a corrupt file being set aside reads as an
// empty store either way).
class UserDefaults {
public:
    // The application's own store, under the user's configuration folder.
    UserDefaults();
    // A store in an explicit file (tests, tools).
    explicit UserDefaults(QString filePath);

    static QString defaultFilePath();
    const QString& filePath() const { return m_filePath; }

    // An absent key, or a value of another kind, reads false.
    bool boolForKey(const QString& key) const;
    // An absent key, or a value of another kind, reads as a null string.
    QString stringForKey(const QString& key) const;
    // An absent key, or a value that is not an array, reads as an empty list; elements that are
    // not strings are left out.
    QStringList stringArrayForKey(const QString& key) const;
    // The raw stored value; undefined when absent.
    QJsonValue objectForKey(const QString& key) const;

    // Each setter returns false (and says why on standard error) when the file could not be
    // written, or is there but could not be read; the value is then not stored and the file is
    // left as it was.
    bool setBool(const QString& key, bool value);
    bool setString(const QString& key, const QString& value);
    bool setStringArray(const QString& key, const QStringList& value);
    bool setObject(const QString& key, const QJsonValue& value);
    bool removeObjectForKey(const QString& key);

private:
    // What reading the file found.
    enum class FileState { Missing, Parsed, Corrupt, Unreadable };
    // Reads the file into `object` (left empty unless Parsed); says why in `why` when Unreadable.
    FileState load(QJsonObject* object, QString* why) const;
    bool store(const QString& key, const QJsonValue& value);

    QString m_filePath;
};

} // namespace glasswing
