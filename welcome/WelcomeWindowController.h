#pragma once

#include <QObject>

class QWidget;

namespace glasswing {

class WelcomeViewController;

// The welcome window's controller: its window shows a `WelcomeViewController`'s view. Made
// afresh for each opening; it lets itself and its view controller go once its window has closed.
class WelcomeWindowController : public QObject {
    Q_OBJECT
public:
    explicit WelcomeWindowController(QObject* parent = nullptr);

    QWidget* window() const;
    WelcomeViewController* contentViewController() const { return m_content; }
    void showWindow();

private:
    WelcomeViewController* m_content;
};

// Makes the controller of a scene of the application's interface by its identifier: "Welcome
// Controller" gives a new `WelcomeWindowController`; any other identifier gives nothing.
WelcomeWindowController* instantiateControllerWithIdentifier(const QString& identifier);

} // namespace glasswing
