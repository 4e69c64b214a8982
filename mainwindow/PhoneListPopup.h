#pragma once

#include "mirroring/ConnectedPhones.h"

#include <QFrame>
#include <QList>
#include <QStringList>

class QLabel;
class QVBoxLayout;

namespace glasswing {

// The list that drops down from the main window's phone chip: the connected phones by name and
// kind, under a line saying how many there are. Past `kMaxRows` phones the rest are counted in
// one line. A popup: it closes on a click anywhere else or on Escape. Main thread; owned by its
// parent window.
class PhoneListPopup : public QFrame {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 12;

    explicit PhoneListPopup(QWidget* parent);

    void setPhones(const QList<ConnectedPhone>& phones);
    // Shows the list with its top right corner at `topRight` (global coordinates), kept on the screen.
    void popUp(const QPoint& topRight);

    // What it shows, line by line ("Ada's Phone\tapp"), for tests and accessibility.
    QStringList lines() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* m_rows;
    QLabel* m_header;
    QList<QWidget*> m_rowWidgets;
};

} // namespace glasswing
