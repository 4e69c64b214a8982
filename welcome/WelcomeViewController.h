#pragma once

#include "platform/AnimationContext.h"
#include "platform/ImageButton.h"
#include "platform/ImageView.h"
#include "platform/TrackingArea.h"
#include "platform/UserDefaults.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <optional>

class QTimer;

namespace Ui {
class WelcomeView;
}

namespace glasswing {

// Where the welcome window's buttons lead.
inline const QUrl kSketchWebSite = QUrl(QStringLiteral("https://www.sketch.com/"));

// The welcome window's view controller: made afresh for each opening, it detects whether the
// design tool and the plug-in are installed, shows the matching face on the install button,
// installs the plug-in, and plays the first-run entrance. The phone button asks its owner to
// show how a phone connects (`connectPhoneRequested`): the phone's browser is the phone app.
//
// Its members live beside their concern: set-up, appearing and closing here; the installation
// check and the two button actions in Installation.cpp; the button faces and hover states in
// WelcomeButtons.cpp. Main thread only.
class WelcomeViewController : public QObject, public TrackingAreaOwner {
    Q_OBJECT
public:
    explicit WelcomeViewController(QObject* parent = nullptr);
    ~WelcomeViewController() override;

    // The view, built from the layout and set up (`viewDidLoad`) on first use.
    QWidget* view();

    // Outlets, connected when the view loads.
    QPointer<ImageView> WelcomeContents;
    QPointer<ImageView> WelcomeBackground;
    QPointer<ImageButton> InstallPluginButton;
    QPointer<ImageButton> OpenAppStoreButton;

    // Image views beneath the buttons, showing each button's resting face.
    QPointer<ImageView> installButtonBacking;
    QPointer<ImageView> appStoreButtonBacking;
    UserDefaults defaults;
    QTimer* timerContainer = nullptr;
    std::optional<bool> isSketchInstalled;
    std::optional<bool> isGlasswingInstalled;

    // The installation check and the two button actions.
    void checkInstallations();
    void InstallPlugin();
    void ConnectPhone();

    // Tracking areas of the two buttons.
    void mouseEntered(TrackingArea* area) override;
    void mouseExited(TrackingArea* area) override;

    // The locations the check looks at: the design tool's folder under the user's
    // application-data folder, its plug-in folder, and the plug-in's place there.
    static QString sketchFolder();
    static QString pluginFolder();
    static QString pluginDestination();

Q_SIGNALS:
    // The window has closed; its owner may let the controllers go.
    void windowClosed();
    // The phone button was clicked: whoever owns the window shows "Connect a Phone".
    void connectPhoneRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void viewDidLoad();
    void viewWillAppear();
    void viewDidAppear();
    void windowWillClose();

    void applyWelcomeFadeIn(AnimationContext& context);
    void applyInstallButtonImages(AnimationContext& context, const QString& image, const QString& alternate);
    void applyInstallButtonHoverImage(AnimationContext& context);
    void applyInstallButtonRestImage(AnimationContext& context);
    void applyAppStoreButtonImage(AnimationContext& context, double duration, TimingFunction timing,
                                  const QString& image);

    // Which of the button's two roles a tracking area stands for; empty for anything else.
    static QString buttonType(TrackingArea* area);

    std::unique_ptr<Ui::WelcomeView> m_form;
    std::unique_ptr<QWidget> m_view;
    bool m_entrancePending = false; // shown transparent, waiting for the entrance
};

} // namespace glasswing
