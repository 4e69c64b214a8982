#pragma once

#include "platform/UserDefaults.h"

#include <QStringList>
#include <QWidget>

class QFileSystemWatcher;
class QListWidget;
class QPushButton;
class QTimer;

namespace glasswing {

// "Trusted Devices": the phones let in without asking, oldest first, each by the name it had when
// the user allowed it, with its user ID beneath (a device remembered before names were kept shows
// its user ID alone), and Remove, so that a lost or sold phone can be revoked; it is asked about
// again on its next invitation, and `devicesRemoved` lets the owner cut off a phone of that ID
// that is connected now.
//
// The list follows the store while the window is open, whoever writes it (this process or
// another): the store's folder and file are watched, and the list read again shortly after each
// change, keeping the selection. Escape closes the window. Main thread.
class TrustedDevicesWindow : public QWidget {
    Q_OBJECT
public:
    // Roles of the list's items: the user ID as stored, and the text under the name (the user ID
    // as printed, empty when the name is the ID itself).
    static constexpr int UserIDRole = Qt::UserRole;
    static constexpr int DetailRole = Qt::UserRole + 1;

    explicit TrustedDevicesWindow(QWidget* parent = nullptr);

    QListWidget* list() const { return m_list; }
    QPushButton* removeButton() const { return m_remove; }

    // Reads the list from the store again.
    void reload();
    // Forgets the selected phones.
    void removeSelected();

Q_SIGNALS:
    // After the store has forgotten them.
    void devicesRemoved(const QStringList& userIDs);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Watches what is there of the store's folder and file; a file replaced by rename is a new
    // file to the watcher, so the paths are added again after every change.
    void watchStore();

    UserDefaults m_defaults;
    QListWidget* m_list;
    QPushButton* m_remove;
    QFileSystemWatcher* m_watcher;
    QTimer* m_reloadSoon;
};

} // namespace glasswing
