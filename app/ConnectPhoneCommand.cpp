#include "app/ConnectPhoneCommand.h"

#include "mirroring/ConnectPhoneWindow.h"
#include "mirroring/PhoneAddresses.h"
#include "platform/NotificationCenter.h"

#include <QHostInfo>

namespace glasswing {

ConnectPhoneCommand::ConnectPhoneCommand(NotificationCenter& center, WebViewerListener listener, QWidget* anchor,
                                         QObject* parent)
    : QObject(parent)
    , m_center(center)
    , m_listener(std::move(listener))
    , m_anchor(anchor)
{
    // The center runs observers on the posting thread; the welcome window posts on this one.
    m_observer = m_center.addObserver(QStringLiteral("Connect a Phone"), [this] { open(); });
}

ConnectPhoneCommand::~ConnectPhoneCommand()
{
    m_center.removeObserver(m_observer);
    delete m_window;
}

WebViewerAddress ConnectPhoneCommand::currentAddress(const WebViewerListener& listener)
{
    WebViewerAddress address;
    address.hostName = QHostInfo::localHostName();
    address.port = listener.port ? listener.port() : 0;
    address.addresses = addressesForPhones(localAddressCandidates());
    if (listener.certificateSha256)
        address.certificateSha256 = listener.certificateSha256();
    return address;
}

void ConnectPhoneCommand::open()
{
    if (!m_window) {
        m_window = new ConnectPhoneWindow([this] { return currentAddress(m_listener); }, m_listener.renewIdentity);
        m_window->showCentredOn(m_anchor);
        return;
    }
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

ConnectPhoneWindow* ConnectPhoneCommand::window() const
{
    return m_window;
}

} // namespace glasswing
