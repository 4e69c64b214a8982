// The main window's connection status display: two presentations, connected and disconnected,
// each set whole by one animation group whose values are assigned directly (they show at once).

#include "mirroring/ViewController.h"
#include "platform/AnimationContext.h"
#include "platform/ImageView.h"
#include "platform/NamedImage.h"
#include "platform/ProgressIndicator.h"
#include "platform/TextField.h"
#include "platform/ViewAlpha.h"

#include <QFontDatabase>

namespace glasswing {

namespace {

constexpr double kGroupDuration = 0.5;

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
    iPhoneCounter->setStringValue(QString::number(peerCount));
}

void ViewController::applyPhoneChipAlpha(AnimationContext& context, double alpha)
{
    context.setDuration(kGroupDuration);
    setAlphaValue(iPhoneChip, alpha);
    setAlphaValue(iPhoneCounter, alpha);
}

} // namespace glasswing
