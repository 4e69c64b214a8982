// Invitations: a remembered phone is accepted at once, any other only once the user allows it
// in an alert. Invitations are decided one after the other on the main thread; the alert never
// blocks the event loop, so frames keep flowing to joined phones while it is up.

#include "mirroring/AlertAnswers.h"
#include "mirroring/TrustedDevices.h"
#include "mirroring/ViewController.h"
#include "platform/ApplicationIcon.h"
#include "platform/ConsoleLine.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>

namespace glasswing {

namespace {

// The widest a phone's name is shown in the alert, in the alert's font: a longer one is elided
// in the middle (its start and its end, often the model, stay), and one the phone sent longer
// than a name may be shows where it was cut. Whole names that fit are shown whole.
QString alertName(const peer::PeerID& peer, const QFont& font)
{
    const QFontMetrics metrics(font);
    const int widest = metrics.horizontalAdvance(QLatin1Char('x')) * 36;
    QString name = peer.displayName();
    if (peer.isDisplayNameShortened())
        name += QStringLiteral("…");
    return metrics.elidedText(name, Qt::ElideMiddle, widest);
}

} // namespace

void ViewController::advertiserDidReceiveInvitationFromPeer(peer::Advertiser&, const peer::PeerID& peer,
                                                            const std::optional<QByteArray>& context,
                                                            peer::InvitationHandler invitationHandler)
{
    // A phone always sends its user ID; an invitation without one cannot be judged, remembered
    // or shown fairly, so it is declined without asking.
    if (!context) {
        invitationHandler(false, nullptr);
        return;
    }
    Invitation invitation{peer, *context, std::move(invitationHandler)};
    onMainThread([this, invitation = std::move(invitation)]() mutable { enqueueInvitation(std::move(invitation)); });
}

void ViewController::advertiserInvitationWasWithdrawn(peer::Advertiser&, const peer::PeerID& peer)
{
    onMainThread([this, peer] { withdrawInvitation(peer); });
}

void ViewController::enqueueInvitation(Invitation invitation)
{
    // A remembered phone is let in at once: it does not wait for the user to come back and answer
    // the alert about another phone.
    if (m_alert && trusted::contains(trusted::devices(defaults), QString::fromUtf8(invitation.context))) {
        decide(invitation);
        return;
    }
    m_invitations.push_back(std::move(invitation));
    decideNextInvitation();
}

void ViewController::decideNextInvitation()
{
    while (!m_alert && !m_invitations.empty()) {
        Invitation next = std::move(m_invitations.front());
        m_invitations.pop_front();
        decide(next);
    }
}

void ViewController::decide(const Invitation& invitation)
{
    // Ill-formed UTF-8 becomes U+FFFD: every context yields a user ID.
    const QString userID = QString::fromUtf8(invitation.context);
    consoleLine(QStringLiteral("Incoming User ID: ") + trusted::printable(userID));

    if (trusted::contains(trusted::devices(defaults), userID)) {
        consoleLine(QStringLiteral("Allowing Incoming User ID ") + trusted::printable(userID));
        admitted(invitation);
        invitation.handler(true, session.get());
        return;
    }

    auto* alert = new QMessageBox(m_view.get());
    alert->setAttribute(Qt::WA_DeleteOnClose);
    // The app's own icon, at the size the standard icons have, says who asks.
    const int iconSize = alert->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, alert);
    alert->setIconPixmap(applicationIcon().pixmap(QSize(iconSize, iconSize), alert->devicePixelRatio()));
    alert->setWindowTitle(QStringLiteral("Glasswing"));
    // The phone chose its own name: it is shown as plain text, never as markup.
    alert->setTextFormat(Qt::PlainText);
    alert->setText(QStringLiteral("Begin mirroring with \"") + alertName(invitation.peer, alert->font())
                   + QStringLiteral("\"?"));
    // Which kind of phone asks; a browser's code is on its page too, so that the user can tell
    // their own phone from another one asking at the same moment.
    alert->setInformativeText(
        invitation.peer.kind() == peer::PeerID::Kind::Browser
            ? QStringLiteral("A web browser on a phone, showing the code %1.").arg(invitation.peer.code())
            : QStringLiteral("The Glasswing app on a phone."));
    auto* remember = new QCheckBox(QStringLiteral("Remember this device"), alert);
    remember->setChecked(true);
    alert->setCheckBox(remember);
    QPushButton* allow = alert->addButton(QStringLiteral("Allow"), QMessageBox::AcceptRole);
    QPushButton* dontAllow = alert->addButton(QStringLiteral("Don't Allow"), QMessageBox::RejectRole);
    alert->setDefaultButton(allow);
    alert->setEscapeButton(dontAllow);

    m_alert = alert;
    m_asking = invitation;
    // Every way the alert ends comes here: a button, Return (Allow) or Escape and the window's
    // close (Don't Allow).
    QObject::connect(alert, &QDialog::finished, this, [this, alert, allow] {
        if (alert != m_alert || !m_asking)
            return; // withdrawn: its phone has gone
        const Invitation asked = std::move(*m_asking);
        m_asking.reset();
        m_alert = nullptr;
        answerAlert(asked, alert->clickedButton() == allow, alert->checkBox()->isChecked());
        // The next invitation gets its turn once this alert has gone.
        onMainThread([this] { decideNextInvitation(); });
    });
    // Not modal: the main window stays the user's to close, which ends the app, alert and all.
    alert->setWindowModality(Qt::NonModal);
    alert->show();
    if (m_alertAnswers)
        m_alertAnswers->shown(alert);
}

void ViewController::answerAlert(const Invitation& invitation, bool allowed, bool remember)
{
    if (!allowed) {
        invitation.handler(false, nullptr);
        return;
    }
    admitted(invitation);
    invitation.handler(true, session.get());
    if (!remember)
        return;
    // Read again now, not when the alert went up: anything stored meanwhile stays.
    trusted::remember(defaults, QString::fromUtf8(invitation.context), invitation.peer.displayName());
}

void ViewController::admitted(const Invitation& invitation)
{
    // Until the phone leaves the session (or its connection is gone before it got there, which
    // withdraws the invitation), so that removing a trusted device can cut it off.
    m_userIDs.insert(invitation.peer, QString::fromUtf8(invitation.context));
}

void ViewController::withdrawInvitation(const peer::PeerID& peer)
{
    m_userIDs.remove(peer);
    for (auto waiting = m_invitations.begin(); waiting != m_invitations.end(); ++waiting) {
        if (waiting->peer == peer) {
            m_invitations.erase(waiting);
            return;
        }
    }
    if (m_alert && m_asking && m_asking->peer == peer) {
        // Its phone has gone: the question no longer stands, and nothing is answered or stored.
        QMessageBox* alert = m_alert;
        m_alert = nullptr;
        m_asking.reset();
        alert->close();
        decideNextInvitation();
    }
}

} // namespace glasswing
