#pragma once

#include <QDialog>

class QLabel;

namespace glasswing {

// "About Glasswing": the icon, the name, the version, the copyright and licence, and the
// project's address (a link the desktop opens), from the bundle settings. Modeless; Escape or
// Close closes it, and it deletes itself then. Main thread.
class AboutWindow : public QDialog {
    Q_OBJECT
public:
    explicit AboutWindow(QWidget* parent = nullptr);

    // For tests: the labels as shown.
    QLabel* versionLabel() const { return m_version; }
    QLabel* licenceLabel() const { return m_licence; }
    QLabel* addressLabel() const { return m_address; }

private:
    QLabel* m_version;
    QLabel* m_licence;
    QLabel* m_address;
};

} // namespace glasswing
