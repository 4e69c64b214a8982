#pragma once

#include "platform/UserDefaults.h"

#include <QWidget>

class QListWidget;
class QPushButton;

namespace glasswing {

// "Trusted Devices": the phones let in without asking, by user ID, oldest first, with Remove,
// so that a lost or sold phone can be revoked; it is asked about again on its next invitation.
// The list is read afresh whenever the window is shown or comes to the front, so it follows
// phones remembered meanwhile. Main thread.
class TrustedDevicesWindow : public QWidget {
    Q_OBJECT
public:
    explicit TrustedDevicesWindow(QWidget* parent = nullptr);

    QListWidget* list() const { return m_list; }
    QPushButton* removeButton() const { return m_remove; }

    // Reads the list from the store again.
    void reload();
    // Forgets the selected phone.
    void removeSelected();

protected:
    bool event(QEvent* event) override;

private:
    UserDefaults m_defaults;
    QListWidget* m_list;
    QPushButton* m_remove;
};

} // namespace glasswing
