#pragma once

#include <QList>
#include <QString>

namespace glasswing {

// One phone in the session, as the user sees it: the name it gave and how it mirrors.
struct ConnectedPhone {
    QString name;
    bool isBrowser = false; // a web page rather than the phone app

    friend bool operator==(const ConnectedPhone&, const ConnectedPhone&) = default;
};

// The words for the connected phones, in every place that names them: the main window's phone
// chip (its counter, tooltip and list) and the tray icon. Plain text throughout: the first line
// never holds a name, so a name that looks like markup is never taken for it. Any thread.
namespace phones {

// "app" or "browser".
QString kind(const ConnectedPhone& phone);
// "No phone connected", "1 phone connected", "3 phones connected".
QString summary(qsizetype count);
// The summary, then one line per phone: "Ada's Phone (app)".
QString toolTip(const QList<ConnectedPhone>& phones);
// The tray's: the app's name and its state on the first line, then the phones.
QString trayToolTip(const QList<ConnectedPhone>& phones);
// What the chip's counter shows: the number, up to "999+".
QString counterText(qsizetype count);

} // namespace phones
} // namespace glasswing
