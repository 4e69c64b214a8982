#pragma once

#include "mainwindow/PhoneListPopup.h"
#include "mirroring/ConnectedPhones.h"
#include "mirroring/PreviewData.h"
#include "mirroring/TrustedDevicesWindow.h"
#include "platform/ImageView.h"
#include "platform/NotificationCenter.h"
#include "platform/ProgressIndicator.h"
#include "platform/TextField.h"
#include "platform/UserDefaults.h"
#include "platform/peer/Advertiser.h"
#include "platform/peer/PersistentIdentity.h"
#include "platform/peer/Session.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QMouseEvent;
class QTimer;
class QWidget;

namespace Ui {
class MainView;
}

namespace glasswing {

class AlertAnswers;
class AnimationContext;
class PreviewPickup;
class SerialQueue;

// The main window's view controller, and the owner of the mirroring service for the whole run.
//
// Loading its view (`view()`) gives this machine a peer identity, opens the session that every
// phone joins, advertises it, opens the web viewer's port for browsers, starts the preview pump, shows the disconnected
// state, tells the plug-in that no phone is connected and starts listening to the menu commands. Its members live
// beside their concern: start-up here, the pump in PreviewPump.cpp, invitations in
// Invitations.cpp, session events in SessionEvents.cpp, the status display in
// mainwindow/StatusDisplay.cpp.
//
// Made and used on the main thread. The session and the advertiser call it on the network
// thread; everything that touches a view or a user default is handed to the main thread there.
class ViewController : public QObject, public peer::SessionDelegate, public peer::AdvertiserDelegate {
    Q_OBJECT
public:
    // `limits` bound the peer link; the defaults are the ones the protocol documents.
    ViewController(NotificationCenter& center, SerialQueue& serializationQueue, const peer::PeerLimits& limits = {},
                   QObject* parent = nullptr);
    // Stops listening to the menus and to the network before the fields go, so that nothing
    // reaches a controller that is being destroyed.
    ~ViewController() override;

    // The main window's view, built from the layout and set up (`viewDidLoad`) on first use.
    QWidget* view();
    bool isViewLoaded() const { return m_view != nullptr; }

    // Outlets, connected when the view loads.
    QPointer<ImageView> WindowImage;
    QPointer<ImageView> StatusImage;
    QPointer<TextField> StatusLabel;
    QPointer<ImageView> iPhoneChip;
    QPointer<TextField> iPhoneCounter;
    QPointer<ImageView> ConnectedLight;
    QPointer<ImageView> DisconnectedLight;
    QPointer<ProgressIndicator> ActivityIndicator;
    // Under the window while phones cannot find this computer by themselves (no DNS-SD).
    QPointer<QLabel> DiscoveryNote;

    // Mirroring state; present from `viewDidLoad` on.
    std::optional<peer::PeerID> peerID;
    std::unique_ptr<peer::Session> session;
    std::unique_ptr<peer::Advertiser> advertiser;
    const QString serviceID = QStringLiteral("Glasswing");
    std::optional<PreviewData> previewSet;
    QTimer* timerContainer = nullptr;
    UserDefaults defaults;
    QPointer<QWidget> welcomeWindow;

    // Status display (main thread).
    void showDisconnectedStatus();
    void showConnectedStatus(qint64 peerCount);
    // The phones in the session now, in the order they joined, as the session's state events
    // last told the main thread. Main thread.
    QList<ConnectedPhone> connectedPhones() const;
    // The phone chip's list, shown under the chip (as a click on the chip does).
    void showPhoneList();
    PhoneListPopup* phoneList() const { return m_phoneList; }
    // Whether phones can find this computer by DNS-SD: false shows the note under the window,
    // true hides it. Main thread; the advertiser's reports come here.
    void showDiscoveryAvailable(bool available);

    // Ends the session of every phone, connecting or connected, that was let in under `userID`
    // (as trusted devices match it). Main thread.
    void disconnectUserID(const QString& userID);
    // The Trusted Devices window, opened centred on the main window, or brought forward.
    void showTrustedDevicesWindow();
    TrustedDevicesWindow* trustedDevicesWindow() const { return m_trustedDevices; }

    // Status file.
    void updateStatus(bool isConnected);
    void writeStatus(bool isConnected);

    // The preview pump: one tick, and the send of `previewSet` to the connected phones.
    void checkForSketchUpdates();
    void sendPreview();
    // For tests: runs on the main thread, within a tick, once the pump has claimed a preview and
    // before it reads it.
    std::function<void()> whilePreviewClaimed;

    // The web viewer (PROTOCOL.md, section 10), opened after advertising. Main thread.
    // Its port; 0 when it could not be opened.
    quint16 webViewerPort() const { return advertiser ? advertiser->webPort() : 0; }
    // The identity browsers see, kept from run to run in `webIdentityPath()`.
    const peer::PersistentIdentity& webIdentity() const { return m_webIdentity; }
    // Makes and stores a new identity, taken by connections made from now on (browsers will warn
    // again). False when it could not be stored; it is used for this run all the same.
    bool renewWebIdentity();
    // "web-identity.pem" in the app's data folder; empty when there is no home folder.
    static QString webIdentityPath();

    // Menu commands (main thread).
    void disconnect();
    void openWelcomeWindow();

    // Invitations waiting for their turn, the one being asked about included (main thread).
    int pendingInvitationCount() const { return int(m_invitations.size()) + (m_alert ? 1 : 0); }
    // The alert on screen, if any.
    QMessageBox* invitationAlert() const { return m_alert; }

    // Session and advertiser delegate (network thread).
    void sessionPeerDidChangeState(peer::Session& session, const peer::PeerID& peer, peer::SessionState state) override;
    void sessionDidReceiveData(peer::Session& session, const QByteArray& data, const peer::PeerID& peer) override;
    void sessionDidReceiveStream(peer::Session& session, QIODevice* stream, const QString& name,
                                 const peer::PeerID& peer) override;
    void sessionDidStartReceivingResource(peer::Session& session, const QString& name, const peer::PeerID& peer,
                                          const peer::ResourceProgress& progress) override;
    void sessionDidFinishReceivingResource(peer::Session& session, const QString& name, const peer::PeerID& peer,
                                           const QUrl& location, const std::optional<peer::PeerError>& error) override;
    void advertiserDidReceiveInvitationFromPeer(peer::Advertiser& advertiser, const peer::PeerID& peer,
                                                const std::optional<QByteArray>& context,
                                                peer::InvitationHandler invitationHandler) override;
    void advertiserInvitationWasWithdrawn(peer::Advertiser& advertiser, const peer::PeerID& peer) override;

Q_SIGNALS:
    // The connected phones changed (`connectedPhones()`).
    void phonesChanged();
    // The user closed the main window: the application ends with it, whatever else is open.
    void mainWindowClosed();

protected:
    // The main window's show, close and mouse-down, seen on its view.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Invitation {
        peer::PeerID peer;
        QByteArray context;
        peer::InvitationHandler handler;
    };

    void viewDidLoad();
    // Removes a preview that an earlier run had claimed to read and never finished with.
    void discardClaimedPreview();
    void startWebViewer();
    // Main thread: sends the newest frame read to a phone that has just joined, unless it has had
    // it already (or there is none yet).
    void sendNewestFrameTo(const peer::PeerID& peer);

    // Main window: its style as laid out, and what it does when shown, closed and pressed.
    void prepareWindow();
    void viewDidAppear();
    void windowWillClose();
    void mouseDown(QMouseEvent* event);

    // Status display presentations, each the body of one animation group.
    void applyDisconnectedPresentation(AnimationContext& context);
    void applyConnectedPresentation(AnimationContext& context, qint64 peerCount);
    void applyPhoneChipAlpha(AnimationContext& context, double alpha);
    // Main thread: the session's connected phones, as a snapshot taken with its event.
    void takeConnectedPeers(const QList<peer::PeerID>& peers);
    void updatePhoneChipHelp();
    // Records whose user ID a phone let in came with.
    void admitted(const Invitation& invitation);

    // Invitations, decided one after the other on the main thread.
    void enqueueInvitation(Invitation invitation);
    void decideNextInvitation();
    // Decides at once for a remembered phone; otherwise puts the alert up and returns.
    void decide(const Invitation& invitation);
    void answerAlert(const Invitation& invitation, bool allowed, bool remember);
    void withdrawInvitation(const peer::PeerID& peer);

    // Runs `work` on the main thread, after whatever was handed over before it.
    void onMainThread(std::function<void()> work);

    NotificationCenter& m_center;
    SerialQueue& m_serializationQueue;
    const peer::PeerLimits m_limits;
    std::unique_ptr<Ui::MainView> m_form;
    std::unique_ptr<QWidget> m_view;
    QList<NotificationCenter::Token> m_observers;

    std::deque<Invitation> m_invitations;
    QPointer<QMessageBox> m_alert;
    std::optional<Invitation> m_asking;
    // Tests of the whole app only: answers alerts from a FIFO (AlertAnswers.h); null otherwise.
    AlertAnswers* m_alertAnswers = nullptr;

    PreviewPickup* m_pickup = nullptr;
    QTimer* m_deferredTick = nullptr;
    QElapsedTimer m_lastRead; // when a preview file was last read
    // The newest frame read, encoded as it was sent, and its number; for each joined phone, the
    // number of the newest frame it was sent. Main thread, where every frame is sent: a phone
    // that joins is sent the newest at once and can never be sent an older one after it.
    QByteArray m_newestFrame;
    quint64 m_newestFrameNumber = 0;
    QHash<peer::PeerID, quint64> m_frameSentTo;

    peer::PersistentIdentity m_webIdentity;

    // The connected phones, with the peers they are, in the order they joined.
    QList<std::pair<peer::PeerID, ConnectedPhone>> m_phones;
    // The user ID each phone let in came with, until it leaves the session.
    QHash<peer::PeerID, QString> m_userIDs;
    QPointer<PhoneListPopup> m_phoneList;
    QPointer<TrustedDevicesWindow> m_trustedDevices;

    bool m_movableByWindowBackground = false;
    // A drag the window system could not take over: where in the window the press was.
    std::optional<QPoint> m_dragOffset;
};

} // namespace glasswing
