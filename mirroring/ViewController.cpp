#include "mirroring/ViewController.h"

#include "mirroring/AlertAnswers.h"
#include "mirroring/PreviewPickup.h"
#include "mirroring/StatusFile.h"
#include "platform/ImageView.h"
#include "platform/Paths.h"
#include "platform/ProgressIndicator.h"
#include "platform/SerialQueue.h"
#include "platform/TextField.h"
#include "ui_Main.h"

#include <QHostInfo>
#include <QJsonValue>
#include <QLabel>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QTimer>

namespace glasswing {

Q_LOGGING_CATEGORY(lcMirroring, "glasswing.mirroring", QtInfoMsg)

namespace {
// The web viewer's port, chosen once and kept: a browser keeps what it knows per host and port.
const QString kWebViewerPort = QStringLiteral("Web Viewer Port");

// The note under the glass, hidden until the advertiser says phones cannot find this computer.
QLabel* makeDiscoveryNote(QWidget* window)
{
    auto* note = new QLabel(window);
    note->setObjectName(QStringLiteral("DiscoveryNote"));
    note->setTextFormat(Qt::RichText);
    note->setWordWrap(true);
    note->setText(QStringLiteral("<b>Phones can\u2019t find this computer automatically.</b><br>"
                                 "The Avahi service isn\u2019t running. Use Connect\u00a0a\u00a0Phone\u2026 instead."));
    note->setStyleSheet(QStringLiteral("QLabel#DiscoveryNote { color: #ffdca3; font-size: 11px;"
                                       " background: rgba(27, 33, 39, 235); border: 1px solid rgba(255, 220, 163, 110);"
                                       " border-radius: 12px; padding: 6px 12px; }"));
    note->hide();
    return note;
}

} // namespace

ViewController::ViewController(NotificationCenter& center, SerialQueue& serializationQueue,
                               const peer::PeerLimits& limits, QObject* parent)
    : QObject(parent)
    , m_center(center)
    , m_serializationQueue(serializationQueue)
    , m_limits(limits)
{
}

ViewController::~ViewController()
{
    for (NotificationCenter::Token token : m_observers)
        m_center.removeObserver(token);
    // The advertiser goes first, so that no invitation adopts a phone into a session being closed.
    if (advertiser)
        advertiser->setDelegate(nullptr);
    advertiser.reset();
    if (session)
        session->setDelegate(nullptr);
    session.reset();
    // An alert going with its window must not answer for anyone.
    if (m_alert)
        m_alert->disconnect(this);
}

QWidget* ViewController::view()
{
    if (!m_view) {
        m_form = std::make_unique<Ui::MainView>();
        m_view = std::make_unique<QWidget>();
        m_form->setupUi(m_view.get());
        WindowImage = m_form->WindowImage;
        StatusImage = m_form->StatusImage;
        StatusLabel = m_form->StatusLabel;
        iPhoneChip = m_form->iPhoneChip;
        iPhoneCounter = m_form->iPhoneCounter;
        ConnectedLight = m_form->ConnectedLight;
        DisconnectedLight = m_form->DisconnectedLight;
        ActivityIndicator = m_form->ActivityIndicator;
        DiscoveryNote = makeDiscoveryNote(m_view.get());
        prepareWindow();
        viewDidLoad();
    }
    return m_view.get();
}

void ViewController::viewDidLoad()
{
    // Peer identity: the host name, within the limits of a display name.
    peerID = peer::PeerID(QHostInfo::localHostName());

    // A phone behind on previews wants the newest next, not the ones it missed.
    session = std::make_unique<peer::Session>(*peerID, nullptr, peer::EncryptionPreference::Required, m_limits,
                                              peer::SendPolicy::NewestWins);
    session->setDelegate(this);

    advertiser = std::make_unique<peer::Advertiser>(*peerID, nullptr, serviceID, m_limits);
    advertiser->setDelegate(this);
    // Said in the window, not only on standard error: the user can do something about it.
    advertiser->setDnsSdAvailabilityHandler(
        [this](bool available) { onMainThread([this, available] { showDiscoveryAvailable(available); }); });
    // A failure to advertise is not the controller's to handle; the advertiser says why on
    // standard error. Where phones can reach the app is said there too, for trying it by hand.
    if (advertiser->startAdvertisingPeer())
        qCInfo(lcMirroring, "advertising \"%s\" as %s on port %u", qUtf8Printable(peerID->displayName()),
               peer::Advertiser::dnsSdServiceType(serviceID).constData(), unsigned(advertiser->port()));
    startWebViewer();
    m_alertAnswers = AlertAnswers::fromEnvironment(this);

    discardClaimedPreview();
    timerContainer = new QTimer(this);
    timerContainer->setInterval(100);
    // Ticks come every 0.1 s rather than up to 5% late, so that their spacing never trips the
    // pump's own ten-reads-a-second bound.
    timerContainer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timerContainer, &QTimer::timeout, this, &ViewController::checkForSketchUpdates);
    timerContainer->start();
    m_pickup = new PreviewPickup(sharedCacheFolder(), QStringLiteral("Preview@3x.png"), this);
    QObject::connect(m_pickup, &PreviewPickup::fileArrived, this, &ViewController::checkForSketchUpdates);
    // A shared folder removed or replaced while running took the status file with it: the plug-in
    // must find it again in the new folder, saying what holds now.
    QObject::connect(m_pickup, &PreviewPickup::folderWatched, this,
                     [this] { updateStatus(!session->connectedPeers().isEmpty()); });

    StatusLabel->setHidden(true);
    StatusLabel->setAllowsEditingTextAttributes(true);
    ActivityIndicator->startAnimation();
    showDisconnectedStatus();

    updateStatus(false);

    m_observers << m_center.addObserver(QStringLiteral("Disconnect Menu Item"), [this] { disconnect(); });
    m_observers << m_center.addObserver(QStringLiteral("Show Welcome Window"), [this] { openWelcomeWindow(); });

    defaults.setBool(QStringLiteral("Main Window Open"), true);
    defaults.setBool(QStringLiteral("Welcome Window Open"), false);
}

QString ViewController::webIdentityPath()
{
    const QString data = paths::applicationSupportDirectory();
    return data.isEmpty() ? QString() : data + QStringLiteral("/com.tessaro.Glasswing/web-identity.pem");
}

void ViewController::startWebViewer()
{
    const QString hostName = QHostInfo::localHostName();
    const QString identityPath = webIdentityPath();
    m_webIdentity = identityPath.isEmpty() ? peer::PersistentIdentity::make(hostName)
                                           : peer::PersistentIdentity::loadOrMake(identityPath, hostName);
    if (identityPath.isEmpty())
        qCWarning(lcMirroring, "no home folder: the web viewer's identity is made for this run only");
    else if (!m_webIdentity.problem.isEmpty())
        qCWarning(lcMirroring, "web viewer: %s", qUtf8Printable(m_webIdentity.problem));

    // Only a whole number that is a port counts; anything else is chosen anew.
    const QJsonValue stored = defaults.objectForKey(kWebViewerPort);
    const double number = stored.toDouble(-1);
    const quint16 preferred = number >= 1 && number <= 65535 && number == double(int(number)) ? quint16(number) : 0;
    if (!advertiser->startWebViewer(preferred, m_webIdentity.certificate, m_webIdentity.privateKey,
                                    QStringLiteral(":/viewer")))
        return;
    const quint16 port = advertiser->webPort();
    if (preferred == 0)
        defaults.setObject(kWebViewerPort, int(port));
    const QString fingerprint = QString::fromLatin1(m_webIdentity.fingerprint().toHex(':').toUpper());
    qCInfo(lcMirroring, "web viewer for phones at https://%s.local:%u/ (certificate SHA-256 %s)",
           qUtf8Printable(hostName), unsigned(port), qUtf8Printable(fingerprint));
}

bool ViewController::renewWebIdentity()
{
    const QString hostName = QHostInfo::localHostName();
    const QString identityPath = webIdentityPath();
    peer::PersistentIdentity renewed = identityPath.isEmpty()
        ? peer::PersistentIdentity::make(hostName)
        : peer::PersistentIdentity::loadOrMake(identityPath, hostName, true);
    if (!renewed.problem.isEmpty())
        qCWarning(lcMirroring, "web viewer: %s", qUtf8Printable(renewed.problem));
    m_webIdentity = std::move(renewed);
    if (advertiser)
        advertiser->setWebIdentity(m_webIdentity.certificate, m_webIdentity.privateKey);
    return m_webIdentity.stored;
}

void ViewController::updateStatus(bool isConnected)
{
    glasswing::updateStatus(m_serializationQueue, isConnected);
}

void ViewController::writeStatus(bool isConnected)
{
    glasswing::writeStatus(isConnected);
}

void ViewController::onMainThread(std::function<void()> work)
{
    // Queued calls run in the order they were posted, and are dropped if the controller is gone.
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

} // namespace glasswing
