#pragma once

#include <QIcon>

namespace glasswing {

// The application's icon (the launcher's hicolor artwork, shipped as the image "Glasswing"),
// drawn afresh at the sizes window managers, trays and dialogs ask for. Empty when the artwork
// is missing. Main thread (or any thread once a QGuiApplication exists).
QIcon applicationIcon();

} // namespace glasswing
