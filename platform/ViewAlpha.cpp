#include "platform/ViewAlpha.h"

#include <QGraphicsOpacityEffect>
#include <QWidget>

#include <algorithm>

namespace glasswing {

const char* const kAlphaProperty = "glasswingAlpha";

void setAlphaValue(QWidget* view, double alpha)
{
    alpha = std::clamp(alpha, 0.0, 1.0);
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(view->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(view); // the view takes ownership
        view->setGraphicsEffect(effect);
    }
    effect->setOpacity(alpha);
    // An opacity effect at 1.0 would still paint through an offscreen pixmap; at 0.0 there is
    // nothing to paint at all.
    effect->setEnabled(alpha < 1.0);
    // A view that does work only while it can be seen (a spinner) hears of it as a property change.
    view->setProperty(kAlphaProperty, alpha);
}

double alphaValue(const QWidget* view)
{
    const auto* effect = qobject_cast<const QGraphicsOpacityEffect*>(view->graphicsEffect());
    return effect ? effect->opacity() : 1.0;
}

} // namespace glasswing
