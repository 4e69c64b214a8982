// The welcome window's two image buttons: the install button's faces for each installation
// state, and both buttons' hover faces. Every change is one short animation group.

#include "welcome/WelcomeViewController.h"

namespace glasswing {

namespace {

const QString kInstallPluginButton = QStringLiteral("Install Plugin Button");
const QString kOpenAppStoreButton = QStringLiteral("Open App Store Button");

struct InstallFaces {
    QString rest;
    QString hover;
};

// A flag counts only when true: before the first check both are unknown, which reads as the
// design tool missing.
InstallFaces installFaces(const std::optional<bool>& isSketchInstalled, const std::optional<bool>& isGlasswingInstalled)
{
    if (isGlasswingInstalled == true)
        return {QStringLiteral("Install Plugin Button (Marker)"), QStringLiteral("Install Plugin Button (Marker)")};
    if (isSketchInstalled == true)
        return {QStringLiteral("Install Plugin Button"), QStringLiteral("Install Plugin Button (Hover)")};
    return {QStringLiteral("Get Sketch Button"), QStringLiteral("Get Sketch Button (Hover)")};
}

} // namespace

QString WelcomeViewController::buttonType(TrackingArea* area)
{
    if (!area || area->userInfo().isEmpty())
        return {};
    const QVariant value = area->userInfo().first();
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

void WelcomeViewController::mouseEntered(TrackingArea* area)
{
    const QString type = buttonType(area);
    if (type == kInstallPluginButton)
        runAnimationGroup([this](AnimationContext& context) { applyInstallButtonHoverImage(context); });
    else if (type == kOpenAppStoreButton)
        runAnimationGroup([this](AnimationContext& context) {
            applyAppStoreButtonImage(context, 0.15, TimingFunction::EaseOut,
                                     QStringLiteral("Open App Store Button (Hover)"));
        });
}

void WelcomeViewController::mouseExited(TrackingArea* area)
{
    const QString type = buttonType(area);
    if (type == kInstallPluginButton)
        runAnimationGroup([this](AnimationContext& context) { applyInstallButtonRestImage(context); });
    else if (type == kOpenAppStoreButton)
        runAnimationGroup([this](AnimationContext& context) {
            applyAppStoreButtonImage(context, 0.3, TimingFunction::EaseInEaseOut, kOpenAppStoreButton);
        });
}

void WelcomeViewController::applyInstallButtonImages(AnimationContext& context, const QString& image,
                                                     const QString& alternate)
{
    context.setDuration(0.15);
    context.setTimingFunction(TimingFunction::EaseInEaseOut);
    InstallPluginButton->setImage(imageNamed(image));
    InstallPluginButton->setAlternateImage(imageNamed(alternate));
    installButtonBacking->setImage(imageNamed(image));
}

void WelcomeViewController::applyInstallButtonHoverImage(AnimationContext& context)
{
    context.setDuration(0.15);
    context.setTimingFunction(TimingFunction::EaseOut);
    InstallPluginButton->setImage(imageNamed(installFaces(isSketchInstalled, isGlasswingInstalled).hover));
}

void WelcomeViewController::applyInstallButtonRestImage(AnimationContext& context)
{
    context.setDuration(0.3);
    context.setTimingFunction(TimingFunction::EaseInEaseOut);
    InstallPluginButton->setImage(imageNamed(installFaces(isSketchInstalled, isGlasswingInstalled).rest));
}

void WelcomeViewController::applyAppStoreButtonImage(AnimationContext& context, double duration, TimingFunction timing,
                                                     const QString& image)
{
    context.setDuration(duration);
    context.setTimingFunction(timing);
    OpenAppStoreButton->setImage(imageNamed(image));
}

} // namespace glasswing
