#include "mirroring/TrustedDevicesWindow.h"

#include "mirroring/TrustedDevices.h"

#include <QDialogButtonBox>
#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace glasswing {

TrustedDevicesWindow::TrustedDevicesWindow(QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_list(new QListWidget(this))
    , m_remove(new QPushButton(QStringLiteral("Remove"), this))
{
    setWindowTitle(QStringLiteral("Trusted Devices"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(420, 320);

    auto* explanation = new QLabel(
        QStringLiteral("These phones begin mirroring without asking. Remove a phone you no longer use; it will be "
                       "asked about again the next time it connects."),
        this);
    explanation->setWordWrap(true);
    explanation->setTextFormat(Qt::PlainText);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
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
    reload();
}

void TrustedDevicesWindow::reload()
{
    m_list->clear();
    for (const QString& userID : trusted::userIDs(m_defaults)) {
        // Shown as the text it is; the ID itself stays on the item for removal.
        auto* item = new QListWidgetItem(trusted::printable(userID), m_list);
        item->setData(Qt::UserRole, userID);
    }
    if (m_list->count() == 0) {
        auto* none = new QListWidgetItem(QStringLiteral("No trusted devices yet."), m_list);
        none->setFlags(Qt::NoItemFlags);
    }
    m_remove->setEnabled(false);
}

void TrustedDevicesWindow::removeSelected()
{
    for (QListWidgetItem* item : m_list->selectedItems())
        trusted::forget(m_defaults, item->data(Qt::UserRole).toString());
    reload();
}

bool TrustedDevicesWindow::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        reload();
    return QWidget::event(event);
}

} // namespace glasswing
