#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QAction;
class QWidget;

namespace glasswing {

class FileMirror;

// "Mirror a File…" and "Stop Mirroring NAME": the user picks an image file (a PNG, what Qt's
// image plug-ins read, or SVG, drawn at 3x) and the app puts it in place for the preview pump now
// and after every save of it, until the user stops it or picks another. The stop item is shown,
// with the file's name, only while a file is mirrored.
//
// A file that cannot be read or decoded is said so in a window-modal message; when picked, the
// file mirrored until then stays mirrored, and when a later save cannot be read, the file stays
// watched so that the next good save shows. Main thread; the actions are the menus', and outlive
// this object.
class MirrorFileCommand : public QObject {
    Q_OBJECT
public:
    MirrorFileCommand(QAction& mirrorFile, QAction& stopMirroring, QObject* parent = nullptr);
    ~MirrorFileCommand() override;

    // The window the file chooser and the messages belong to.
    void setDialogParent(QWidget* parent) { m_dialogParent = parent; }

    // Mirrors `path` from now on, in place of any file mirrored; false (and a message) when it
    // cannot be placed, and then nothing changes.
    bool mirror(const QString& path);
    void stop();

    // The file mirrored (absolute), empty when none.
    QString mirroredFile() const;
    // The file chooser and the last message, while open.
    QFileDialog* fileDialog() const { return m_fileDialog; }
    QMessageBox* messageBox() const { return m_message; }

public Q_SLOTS:
    // Opens the file chooser (window-modal, never blocking the event loop).
    void chooseFile();

private:
    // `why` begins with the file's `name`, or is made to begin with a capital.
    void showProblem(const QString& name, const QString& title, const QString& why);
    void updateActions();

    QAction& m_mirrorFile;
    QAction& m_stopMirroring;
    QPointer<QWidget> m_dialogParent;
    std::unique_ptr<FileMirror> m_mirror;
    QPointer<QFileDialog> m_fileDialog;
    QPointer<QMessageBox> m_message;
};

} // namespace glasswing
