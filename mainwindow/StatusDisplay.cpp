// The main window's connection status display: two presentations, connected and disconnected,
// each set whole by one animation group whose values are assigned directly (they show at once);
// the phone chip's tooltip and list of the phones; and the note shown while phones cannot find
// this computer by themselves.

#include "mainwindow/PhoneListPopup.h"
#include "mirroring/ViewController.h"
#include "platform/AnimationContext.h"
#include "platform/ImageView.h"
#include "platform/NamedImage.h"
#include "platform/ProgressIndicator.h"
#include "platform/TextField.h"
#include "platform/ViewAlpha.h"

#include <QFontDatabase>
#include <QLabel>

namespace glasswing {

namespace {

constexpr double kGroupDuration = 0.5;

// The chip as laid out holds one digit right of its divider; a longer count gets the wide chip,
// which grows to the left, the counter keeping its right edge.
constexpr int kChipRight = 300;
constexpr int kChipTop = 28;
constexpr int kChipHeight = 40;
constexpr int kChipIconWidth = 32; // the phone glyph and the divider
constexpr int kNarrowCounterWidth = 24;
constexpr int kWideCounterWidth = 44;

// The note under the window: its gap below the glass and its height.
constexpr int kWindowWidth = 320;
constexpr int kWindowHeight = 96;
constexpr int kNoteGap = 6;
constexpr int kNoteHeight = 58;

// The status text's attributes, built afresh for each text: the system font at 14 points,
// light, 0.46 points between characters, in the presentation's colour.
AttributedString statusText(const QString& text, int red, int green, int blue)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(14);
    font.setWeight(QFont::Light);
    return AttributedString{text, font, 0.46,
                            QColor::fromRgbF(float(red / 255.0), float(green / 255.0), float(blue / 255.0), 1.0f)};
}

} // namespace

void ViewController::showDisconnectedStatus()
{
    runAnimationGroup([this](AnimationContext& context) { applyDisconnectedPresentation(context); });
}

void ViewController::showConnectedStatus(qint64 peerCount)
{
    runAnimationGroup([this, peerCount](AnimationContext& context) { applyConnectedPresentation(context, peerCount); });
    runAnimationGroup(
        [this, peerCount](AnimationContext& context) { applyPhoneChipAlpha(context, peerCount != 0 ? 1.0 : 0.0); });
}

void ViewController::applyDisconnectedPresentation(AnimationContext& context)
{
    context.setDuration(kGroupDuration);
    setAlphaValue(ConnectedLight, 0.0);
    setAlphaValue(DisconnectedLight, 1.0);
    setAlphaValue(ActivityIndicator, 1.0);
    StatusImage->setImage(imageNamed(QStringLiteral("DisconnectedLabel")));
    StatusLabel->setAttributedStringValue(statusText(QStringLiteral("disconnected"), 255, 220, 163));
    setAlphaValue(iPhoneChip, 0.0);
    setAlphaValue(iPhoneCounter, 0.0);
}

void ViewController::applyConnectedPresentation(AnimationContext& context, qint64 peerCount)
{
    context.setDuration(kGroupDuration);
    setAlphaValue(ConnectedLight, 1.0);
    setAlphaValue(DisconnectedLight, 0.0);
    setAlphaValue(ActivityIndicator, 0.0);
    StatusImage->setImage(imageNamed(QStringLiteral("ConnectedLabel")));
    StatusLabel->setAttributedStringValue(statusText(QStringLiteral("connected"), 201, 255, 253));
    const QString count = phones::counterText(peerCount);
    iPhoneCounter->setStringValue(count);
    const bool wide = count.size() > 1;
    const int counterWidth = wide ? kWideCounterWidth : kNarrowCounterWidth;
    iPhoneChip->setImage(imageNamed(wide ? QStringLiteral("Phone Chip Wide") : QStringLiteral("Phone Chip")));
    iPhoneChip->setGeometry(kChipRight - kChipIconWidth - counterWidth, kChipTop, kChipIconWidth + counterWidth,
                            kChipHeight);
    iPhoneCounter->setGeometry(kChipRight - counterWidth, kChipTop, counterWidth, kChipHeight);
    QFont font = iPhoneCounter->font();
    font.setPointSize(count.size() > 3 ? 9 : 13);
    iPhoneCounter->setFont(font);
}

void ViewController::applyPhoneChipAlpha(AnimationContext& context, double alpha)
{
    context.setDuration(kGroupDuration);
    setAlphaValue(iPhoneChip, alpha);
    setAlphaValue(iPhoneCounter, alpha);
}

void ViewController::updatePhoneChipHelp()
{
    const QList<ConnectedPhone> phones = connectedPhones();
    const QString help = phones.isEmpty() ? QString() : phones::toolTip(phones);
    iPhoneChip->setToolTip(help);
    iPhoneCounter->setToolTip(help);
    if (m_phoneList && m_phoneList->isVisible()) {
        if (phones.isEmpty())
            m_phoneList->close();
        else
            m_phoneList->setPhones(phones);
    }
}

void ViewController::showPhoneList()
{
    if (!m_phoneList)
        m_phoneList = new PhoneListPopup(m_view.get());
    m_phoneList->setPhones(connectedPhones());
    // Under the chip, right edges aligned.
    m_phoneList->popUp(iPhoneChip->mapToGlobal(QPoint(iPhoneChip->width(), iPhoneChip->height() + 6)));
}

void ViewController::showDiscoveryAvailable(bool available)
{
    if (!DiscoveryNote)
        return;
    DiscoveryNote->setGeometry(0, kWindowHeight + kNoteGap, kWindowWidth, kNoteHeight);
    DiscoveryNote->setVisible(!available);
    // The window grows downwards to hold the note, and back.
    m_view->setFixedSize(kWindowWidth, available ? kWindowHeight : kWindowHeight + kNoteGap + kNoteHeight);
}

} // namespace glasswing
