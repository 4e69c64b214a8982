#include "welcome/WelcomeViewController.h"

#include "platform/ViewAlpha.h"
#include "ui_Welcome.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

namespace glasswing {

namespace {

const QString kHasShownMacWelcome = QStringLiteral("Has Shown Mac Welcome");
const QString kWelcomeWindowOpen = QStringLiteral("Welcome Window Open");
const QString kButtonType = QStringLiteral("Button Type");

} // namespace

WelcomeViewController::WelcomeViewController(QObject* parent)
    : QObject(parent)
{
}

WelcomeViewController::~WelcomeViewController() = default;

QWidget* WelcomeViewController::view()
{
    if (!m_view) {
        m_form = std::make_unique<Ui::WelcomeView>();
        m_view = std::make_unique<QWidget>();
        m_form->setupUi(m_view.get());
        WelcomeContents = m_form->WelcomeContents;
        WelcomeBackground = m_form->WelcomeBackground;
        InstallPluginButton = m_form->InstallPluginButton;
        OpenAppStoreButton = m_form->OpenAppStoreButton;
        QObject::connect(InstallPluginButton, &QAbstractButton::clicked, this, [this] { InstallPlugin(); });
        QObject::connect(OpenAppStoreButton, &QAbstractButton::clicked, this, [this] { ConnectPhone(); });
        m_view->installEventFilter(this);
        viewDidLoad();
    }
    return m_view.get();
}

void WelcomeViewController::viewDidLoad()
{
    const int tracking = TrackingArea::MouseEnteredAndExited | TrackingArea::ActiveAlways;
    new TrackingArea(InstallPluginButton, InstallPluginButton->rect(), tracking, this,
                     {{kButtonType, QStringLiteral("Install Plugin Button")}});
    InstallPluginButton->setBordered(false);
    InstallPluginButton->setButtonType(ImageButton::ButtonType::MomentaryChange);
    new TrackingArea(OpenAppStoreButton, OpenAppStoreButton->rect(), tracking, this,
                     {{kButtonType, QStringLiteral("Open App Store Button")}});
    OpenAppStoreButton->setBordered(false);
    OpenAppStoreButton->setButtonType(ImageButton::ButtonType::MomentaryChange);

    installButtonBacking = new ImageView(m_view.get());
    installButtonBacking->setGeometry(InstallPluginButton->geometry());
    installButtonBacking->setImage(imageNamed(QStringLiteral("Install Plugin Button")));
    // Each button after every other child of the view, so it draws in front of its backing.
    InstallPluginButton->raise();
    appStoreButtonBacking = new ImageView(m_view.get());
    appStoreButtonBacking->setGeometry(OpenAppStoreButton->geometry());
    appStoreButtonBacking->setImage(imageNamed(QStringLiteral("Open App Store Button")));
    OpenAppStoreButton->raise();

    timerContainer = new QTimer(this);
    timerContainer->setInterval(500);
    QObject::connect(timerContainer, &QTimer::timeout, this, &WelcomeViewController::checkInstallations);
    timerContainer->start();
    checkInstallations();

    defaults.setBool(kWelcomeWindowOpen, true);
}

bool WelcomeViewController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_view.get()) {
        switch (event->type()) {
        case QEvent::Show:
            if (!event->spontaneous()) {
                viewWillAppear();
                // Appeared once the show has been handled, as the window system maps it.
                QTimer::singleShot(0, this, &WelcomeViewController::viewDidAppear);
            }
            break;
        case QEvent::Close:
            windowWillClose();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void WelcomeViewController::viewWillAppear()
{
    m_entrancePending = !defaults.boolForKey(kHasShownMacWelcome);
    if (!m_entrancePending)
        return;
    // First run: everything but the contents fades in once the window is up.
    for (QWidget* view : {static_cast<QWidget*>(WelcomeBackground), static_cast<QWidget*>(InstallPluginButton),
                          static_cast<QWidget*>(OpenAppStoreButton), static_cast<QWidget*>(installButtonBacking),
                          static_cast<QWidget*>(appStoreButtonBacking)})
        setAlphaValue(view, 0.0);
}

void WelcomeViewController::viewDidAppear()
{
    // Decided when the views were made transparent: another window's entrance may have written
    // the flag since, and these views must still fade in.
    if (!m_entrancePending)
        return;
    m_entrancePending = false;
    // The entrance runs, and the flag is written, even if the window has closed meanwhile: it
    // was shown. The controller may be gone by then; the flag is not.
    QPointer<WelcomeViewController> self = this;
    QTimer::singleShot(250, qApp, [self] {
        if (self)
            runAnimationGroup([&](AnimationContext& context) { self->applyWelcomeFadeIn(context); });
        else
            UserDefaults().setBool(kHasShownMacWelcome, true);
    });
}

void WelcomeViewController::applyWelcomeFadeIn(AnimationContext& context)
{
    context.setDuration(0.6);
    context.setTimingFunction(TimingFunction::EaseInEaseOut);
    animateAlpha(WelcomeBackground, 1.0, context);
    animateAlpha(InstallPluginButton, 1.0, context);
    animateAlpha(OpenAppStoreButton, 1.0, context);
    animateAlpha(installButtonBacking, 1.0, context);
    animateAlpha(appStoreButtonBacking, 1.0, context);
    defaults.setBool(kHasShownMacWelcome, true);
}

void WelcomeViewController::windowWillClose()
{
    defaults.setBool(kWelcomeWindowOpen, false);
    // A closed window needs no more checks: left running, the timer would keep this controller
    // and its hidden window alive, and each opening would add another.
    timerContainer->stop();
    Q_EMIT windowClosed();
}

} // namespace glasswing
