// Shows "Connect a Phone" in the dark appearance with fixed addresses and certificate, for the
// screenshot in docs/ (scripts/screenshots.sh): the same picture on every machine, with none of
// the machine's own addresses in it. `--not-running` shows the window without a listener.

#include "app/DarkAppearance.h"
#include "mirroring/ConnectPhoneWindow.h"

#include <QApplication>
#include <QCryptographicHash>

using namespace glasswing;

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    applyDarkAppearance();
    const bool running = !QCoreApplication::arguments().contains(QStringLiteral("--not-running"));
    const WebViewerAddress address{
        QStringLiteral("studio"),
        quint16(running ? 8443 : 0),
        {QHostAddress(QStringLiteral("192.168.1.20")), QHostAddress(QStringLiteral("10.0.0.7")),
         QHostAddress(QStringLiteral("2001:db8::20"))},
        QCryptographicHash::hash("Glasswing sample certificate", QCryptographicHash::Sha256),
    };
    auto* window = new ConnectPhoneWindow([address] { return address; }, [] {});
    window->showCentredOn(nullptr);
    return QApplication::exec();
}
