#pragma once

class QWidget;

namespace glasswing {

// A view's alpha, 0.0 (transparent) to 1.0 (opaque), out-of-range values clamped. A view
// stays where it is and keeps its place in the layout at any alpha; at 0.0 it shows nothing.
void setAlphaValue(QWidget* view, double alpha);
// 1.0 for a view whose alpha was never set.
double alphaValue(const QWidget* view);

} // namespace glasswing
