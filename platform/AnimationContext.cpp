#include "platform/AnimationContext.h"

#include "platform/ViewAlpha.h"

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QVariantAnimation>
#include <QWidget>

namespace glasswing {

namespace {

// The platform's named curves, as the cubic Béziers they are defined by.
QEasingCurve easingCurve(TimingFunction function)
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    switch (function) {
    case TimingFunction::Linear:
        return QEasingCurve(QEasingCurve::Linear);
    case TimingFunction::EaseIn:
        curve.addCubicBezierSegment({0.42, 0.0}, {1.0, 1.0}, {1.0, 1.0});
        break;
    case TimingFunction::EaseOut:
        curve.addCubicBezierSegment({0.0, 0.0}, {0.58, 1.0}, {1.0, 1.0});
        break;
    case TimingFunction::EaseInEaseOut:
        curve.addCubicBezierSegment({0.42, 0.0}, {0.58, 1.0}, {1.0, 1.0});
        break;
    }
    return curve;
}

const char* const kAlphaAnimation = "glasswingAlphaAnimation";

} // namespace

void runAnimationGroup(const std::function<void(AnimationContext&)>& changes)
{
    AnimationContext context;
    changes(context);
}

void animateAlpha(QWidget* view, double alpha, const AnimationContext& context)
{
    // One running animation per view: a new change takes over from the old one where it stands.
    for (auto* running :
         view->findChildren<QVariantAnimation*>(QLatin1String(kAlphaAnimation), Qt::FindDirectChildrenOnly))
        running->stop();
    const int milliseconds = int(context.duration() * 1000.0 + 0.5);
    if (milliseconds <= 0) {
        setAlphaValue(view, alpha);
        return;
    }
    auto* animation = new QVariantAnimation(view);
    animation->setObjectName(QLatin1String(kAlphaAnimation));
    animation->setStartValue(alphaValue(view));
    animation->setEndValue(alpha);
    animation->setDuration(milliseconds);
    animation->setEasingCurve(easingCurve(context.timingFunction()));
    QObject::connect(animation, &QVariantAnimation::valueChanged, view,
                     [view](const QVariant& value) { setAlphaValue(view, value.toDouble()); });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

} // namespace glasswing
