#include "app/MirrorFileCommand.h"

#include "mirroring/FileMirror.h"
#include "mirroring/PreviewData.h"
#include "mirroring/StatusFile.h"
#include "platform/UserDefaults.h"
#include "platform/peer/PeerLimits.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QMessageBox>

namespace glasswing {

namespace {

// Where the chooser opened last, so that the next pick starts beside the last file.
const QString kLastFolderKey = QStringLiteral("Mirror File Folder");

QString nameFilters()
{
    QStringList patterns{QStringLiteral("*.png"), QStringLiteral("*.svg"), QStringLiteral("*.svgz")};
    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        const QString pattern = QStringLiteral("*.") + QString::fromLatin1(format).toLower();
        if (!patterns.contains(pattern))
            patterns << pattern;
    }
    return QStringLiteral("Images (%1);;All Files (*)").arg(patterns.join(u' '));
}

std::unique_ptr<FileMirror> makeMirror()
{
    return std::make_unique<FileMirror>(sharedCacheFolder(),
                                        PreviewData::largestImage(peer::PeerLimits{}.maxSendMessageBytes),
                                        previewfile::Formats::AnyImage);
}

} // namespace

MirrorFileCommand::MirrorFileCommand(QAction& mirrorFile, QAction& stopMirroring, QObject* parent)
    : QObject(parent)
    , m_mirrorFile(mirrorFile)
    , m_stopMirroring(stopMirroring)
{
    connect(&m_mirrorFile, &QAction::triggered, this, &MirrorFileCommand::chooseFile);
    connect(&m_stopMirroring, &QAction::triggered, this, &MirrorFileCommand::stop);
    updateActions();
}

MirrorFileCommand::~MirrorFileCommand()
{
    delete m_fileDialog.data();
    delete m_message.data();
}

QString MirrorFileCommand::mirroredFile() const
{
    return m_mirror ? m_mirror->path() : QString();
}

void MirrorFileCommand::chooseFile()
{
    if (m_fileDialog) {
        m_fileDialog->raise();
        m_fileDialog->activateWindow();
        return;
    }
    QString folder = QFileInfo(mirroredFile()).absolutePath();
    if (mirroredFile().isEmpty())
        folder = UserDefaults().stringForKey(kLastFolderKey);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    auto* dialog = new QFileDialog(m_dialogParent, QStringLiteral("Mirror a File"), folder, nameFilters());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Mirror"));
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) {
        UserDefaults().setString(kLastFolderKey, QFileInfo(path).absolutePath());
        mirror(path);
    });
    m_fileDialog = dialog;
    dialog->open();
}

bool MirrorFileCommand::mirror(const QString& path)
{
    std::unique_ptr<FileMirror> next = makeMirror();
    const previewfile::Outcome first = next->start(path);
    if (first.code != previewfile::Outcome::Placed) {
        const QString name = QFileInfo(path).fileName();
        showProblem(name, QStringLiteral("“%1” can't be mirrored").arg(name), first.message);
        return false;
    }
    // Later saves that cannot be placed are said once each; the watch goes on.
    connect(next.get(), &FileMirror::failed, this, [this](const previewfile::Outcome& outcome) {
        const QString name = QFileInfo(mirroredFile()).fileName();
        showProblem(name, QStringLiteral("The last save of “%1” can't be mirrored").arg(name),
                    outcome.message
                        + QStringLiteral("\n\nGlasswing keeps watching the file and mirrors its next save."));
    });
    m_mirror = std::move(next);
    updateActions();
    return true;
}

void MirrorFileCommand::stop()
{
    m_mirror.reset();
    updateActions();
}

void MirrorFileCommand::showProblem(const QString& name, const QString& title, const QString& why)
{
    if (m_message)
        m_message->close();
    auto* box = new QMessageBox(m_dialogParent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("Mirror a File"));
    // File names are the user's: never read as markup.
    box->setTextFormat(Qt::PlainText);
    // A sentence that begins with a file's name keeps the name as it is spelled.
    QString sentence
        = why.isEmpty() || why.startsWith(u'/') || why.startsWith(name) ? why : why[0].toUpper() + why.mid(1);
    if (!sentence.endsWith(u'.'))
        sentence += u'.';
    box->setText(title + QStringLiteral("\n\n") + sentence);
    box->setStandardButtons(QMessageBox::Ok);
    m_message = box;
    box->open();
}

void MirrorFileCommand::updateActions()
{
    const QString name = QFileInfo(mirroredFile()).fileName();
    m_stopMirroring.setVisible(!name.isEmpty());
    m_stopMirroring.setEnabled(!name.isEmpty());
    // Long names are shortened in the middle, where their ends (the extension) stay readable.
    QString shown = name.size() > 40 ? name.left(24) + QStringLiteral("…") + name.right(15) : name;
    shown.replace(u'&', QStringLiteral("&&")); // a name's "&" is no shortcut marker
    m_stopMirroring.setText(QStringLiteral("Stop Mirroring “%1”").arg(shown));
    m_stopMirroring.setToolTip(mirroredFile());
}

} // namespace glasswing
