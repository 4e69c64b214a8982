#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace glasswing {

// One running app per user on this machine: two would advertise twice to the same phones and
// fight over the shared preview file.
//
// The first launch holds a lock file and listens on a local socket, both in a per-user folder
// (`defaultFolder()`). A later launch finds the lock held, asks the holder over the socket to
// bring its window forward, and is told to exit; only a process of the same user is asked, or
// answered. A lock left by a process that no longer runs (a crash, kill -9) is taken over. Best
// effort: when there is no usable folder, or the lock cannot be created there, the app runs
// unguarded and says so on standard error.
//
// Main thread, after the QApplication exists and before anything that advertises to phones.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        // This is the one instance: go on starting. `activationRequested` comes from now on.
        Primary,
        // Another instance runs and was asked to show its window: exit 0.
        AskedOtherToShow,
        // Another instance holds the lock but did not answer within the patience (it is still
        // starting, or hung): exit 0 all the same, rather than start a second service.
        OtherDidNotAnswer,
        // No lock could be had or checked: run anyway.
        Unguarded,
    };

    // Lock and socket in `folder`; an empty folder means there is none (the outcome is then
    // `Unguarded`).
    explicit SingleInstance(QString folder = defaultFolder(), QObject* parent = nullptr);
    // Stops listening before letting the lock go, so a successor's socket is never removed.
    ~SingleInstance() override;

    // Decides, once, whether this process is the one instance. A held lock is retried, and its
    // holder asked, until `patience` has passed. Messages go to standard error, never standard
    // output, which belongs to the plug-in's lines.
    Outcome claim(std::chrono::milliseconds patience = std::chrono::seconds(5));

    // $XDG_RUNTIME_DIR/com.tessaro.Glasswing when that variable is an absolute path; otherwise
    // the config folder's com.tessaro.Glasswing (paths::configDirectory()); empty with neither.
    static QString defaultFolder();

    QString lockFilePath() const;
    // What the local server listens on: a path in the folder, or, once `claim` has opened the
    // folder and when that path is too long for a socket address, a short name in the same folder
    // reached through this process's descriptor for it (/proc/self/fd/N/...). Never outside it.
    QString serverName() const;

Q_SIGNALS:
    // A later launch asked for the main window.
    void activationRequested();

private:
    void listen();
    bool askOtherToShow();
    void serve(QLocalSocket* socket);

    const QString m_folder;
    const QString m_baseName;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    int m_folderDescriptor = -1; // the folder, held open from `claim` on
    bool m_warnedOfStranger = false;
};

} // namespace glasswing
