#pragma once

#include <QString>

namespace glasswing {

// The application's own resources on disk (the ones that are files, not compiled in): in
// "share/glasswing" beside the folder of the executable, which holds for the build tree
// (build/app/glasswing, build/share/glasswing) and for an installation (bin/, share/glasswing).
QString bundleResourcesDirectory();

// The path of the resource `name` of type `type` ("Glasswing", "sketchplugin" gives
// ".../Glasswing.sketchplugin"); empty when there is no such file or folder.
QString pathForResource(const QString& name, const QString& type);

} // namespace glasswing
