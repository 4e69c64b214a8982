#pragma once

#include <QByteArray>
#include <QString>

namespace glasswing {

class SerialQueue;

// The connection status that the design tool's plug-in reads.
struct Status {
    bool isConnected = false;

    // The compact JSON form, exactly `{"isConnected":true}` or `{"isConnected":false}`,
    // with no line break.
    QByteArray encoded() const;
};

// The folder shared with the plug-in: "com.tessaro.Preview" in the user's caches directory.
// Empty when there is no caches directory.
QString sharedCacheFolder();
// A file in the shared folder, by its name ("status.json", "Preview@3x.png"). Empty when there is
// no caches directory.
QString sharedCacheFile(const QString& name);

// Writes "status.json" synchronously, creating the shared folder (and any missing parent) when
// it is missing. The file is replaced atomically, so the plug-in, which may read it at any
// moment, sees either the old or the new content. The new content reaches the disk before it
// replaces the old. Failures, a full disk among them, are reported as one line on standard output
// ("Couldn't Create Preview Folder", "Couldn't Save Status.json"); the old file is then left as
// it was. Uses no controller state; callable from any thread.
void writeStatus(bool isConnected);

// Has `writeStatus` run later on `queue`, the application's one "SerializationQueue". Returns at
// once. Because every update goes through the same serial queue, the file always ends up with
// the value of the last request.
void updateStatus(SerialQueue& queue, bool isConnected);

} // namespace glasswing
