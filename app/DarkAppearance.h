#pragma once

#include <QPalette>

namespace glasswing {

// The palette of the dark appearance.
QPalette darkPalette();

// Gives the whole application the dark appearance, whatever the desktop theme: the Fusion style
// (which follows the palette everywhere, unlike the native desktop styles) with the dark palette.
// Main thread, after the application object exists.
void applyDarkAppearance();

} // namespace glasswing
