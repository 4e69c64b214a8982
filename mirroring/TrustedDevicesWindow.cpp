#include "mirroring/TrustedDevicesWindow.h"

#include "mirroring/TrustedDevices.h"

#include <QDialogButtonBox>
#include <QEvent>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>

namespace glasswing {

namespace {

// Two lines per device: the name, and the user ID beneath it in a smaller, quieter text.
class DeviceDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Every row as tall as a named one, so that the list keeps one rhythm.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override
    {
        return {option.rect.width(),
                8 + QFontMetrics(option.font).height() + 2 + QFontMetrics(detailFont(option.font)).height() + 8};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem background = option;
        initStyleOption(&background, index);
        background.text.clear();
        option.widget->style()->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);

        const bool selected = option.state & QStyle::State_Selected;
        const QPalette::ColorGroup group = option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
        const QRect area = option.rect.adjusted(10, 8, -10, -8);
        const QFontMetrics nameMetrics(option.font);
        const QString detail = index.data(TrustedDevicesWindow::DetailRole).toString();
        // A device with no name: its ID alone, in the middle of the row.
        const int nameTop = detail.isEmpty() ? area.center().y() - nameMetrics.height() / 2 : area.top();
        painter->save();
        painter->setFont(option.font);
        painter->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(QRect(area.left(), nameTop, area.width(), nameMetrics.height()),
                          Qt::AlignLeft | Qt::AlignVCenter,
                          nameMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, area.width()));
        if (!detail.isEmpty()) {
            const QFont small = detailFont(option.font);
            const QFontMetrics detailMetrics(small);
            QColor quiet = option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
            quiet.setAlphaF(0.6f);
            painter->setFont(small);
            painter->setPen(quiet);
            painter->drawText(
                QRect(area.left(), area.top() + nameMetrics.height() + 2, area.width(), detailMetrics.height()),
                Qt::AlignLeft | Qt::AlignVCenter, detailMetrics.elidedText(detail, Qt::ElideMiddle, area.width()));
        }
        painter->restore();
    }

private:
    static QFont detailFont(QFont font)
    {
        font.setPointSizeF(font.pointSizeF() * 0.85);
        return font;
    }
};

} // namespace

TrustedDevicesWindow::TrustedDevicesWindow(QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_list(new QListWidget(this))
    , m_remove(new QPushButton(QStringLiteral("Remove"), this))
    , m_watcher(new QFileSystemWatcher(this))
    , m_reloadSoon(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Trusted Devices"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(420, 340);

    auto* explanation = new QLabel(
        QStringLiteral("These phones begin mirroring without asking. Remove a phone you no longer use; it will be "
                       "asked about again the next time it connects."),
        this);
    explanation->setWordWrap(true);
    explanation->setTextFormat(Qt::PlainText);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setItemDelegate(new DeviceDelegate(m_list));
    m_list->setUniformItemSizes(false);
    m_remove->setEnabled(false);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(m_remove, QDialogButtonBox::ActionRole);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addWidget(m_list, 1);
    layout->addWidget(buttons);

    QObject::connect(m_list, &QListWidget::itemSelectionChanged, this,
                     [this] { m_remove->setEnabled(!m_list->selectedItems().isEmpty()); });
    QObject::connect(m_remove, &QPushButton::clicked, this, &TrustedDevicesWindow::removeSelected);
    QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);

    // A write is a burst of events (the lock file, the temporary file, the rename): one read after it.
    m_reloadSoon->setSingleShot(true);
    m_reloadSoon->setInterval(50);
    QObject::connect(m_reloadSoon, &QTimer::timeout, this, [this] {
        watchStore();
        reload();
    });
    QObject::connect(m_watcher, &QFileSystemWatcher::fileChanged, m_reloadSoon, qOverload<>(&QTimer::start));
    QObject::connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_reloadSoon, qOverload<>(&QTimer::start));
    watchStore();
    reload();
    // The list takes the focus only when the user goes to it: focused at once, its first row
    // would look chosen while nothing is.
    buttons->button(QDialogButtonBox::Close)->setFocus();
}

void TrustedDevicesWindow::watchStore()
{
    const QFileInfo file(m_defaults.filePath());
    if (m_defaults.filePath().isEmpty())
        return;
    // A folder that is not there yet: its parent says when it comes.
    QString folder = file.absolutePath();
    while (!QFileInfo(folder).isDir() && QFileInfo(folder).absolutePath() != folder)
        folder = QFileInfo(folder).absolutePath();
    QStringList wanted{folder};
    if (file.exists())
        wanted << file.absoluteFilePath();
    const QStringList watched = m_watcher->files() + m_watcher->directories();
    QStringList stale;
    for (const QString& path : watched) {
        if (!wanted.contains(path))
            stale << path;
    }
    if (!stale.isEmpty())
        m_watcher->removePaths(stale);
    QStringList missing;
    for (const QString& path : wanted) {
        if (!watched.contains(path))
            missing << path;
    }
    if (!missing.isEmpty())
        m_watcher->addPaths(missing);
}

void TrustedDevicesWindow::reload()
{
    QStringList selected;
    for (QListWidgetItem* item : m_list->selectedItems())
        selected << item->data(UserIDRole).toString();
    m_list->clear();
    for (const trusted::Device& device : trusted::namedDevices(m_defaults)) {
        // Shown as the text they are; the ID itself stays on the item for removal.
        const QString shownID = trusted::printable(device.userID);
        const QString shownName = trusted::printable(device.name).trimmed();
        auto* item = new QListWidgetItem(shownName.isEmpty() ? shownID : shownName, m_list);
        item->setData(UserIDRole, device.userID);
        item->setData(DetailRole, shownName.isEmpty() ? QString() : shownID);
        item->setToolTip(shownID);
        item->setSelected(selected.contains(device.userID));
    }
    if (m_list->count() == 0) {
        auto* none = new QListWidgetItem(QStringLiteral("No trusted devices yet."), m_list);
        none->setFlags(Qt::NoItemFlags);
    }
    m_remove->setEnabled(!m_list->selectedItems().isEmpty());
}

void TrustedDevicesWindow::removeSelected()
{
    QStringList removed;
    for (QListWidgetItem* item : m_list->selectedItems()) {
        const QString userID = item->data(UserIDRole).toString();
        if (trusted::forget(m_defaults, userID))
            removed << userID;
    }
    reload();
    if (!removed.isEmpty())
        Q_EMIT devicesRemoved(removed);
}

bool TrustedDevicesWindow::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        reload();
    return QWidget::event(event);
}

void TrustedDevicesWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace glasswing
