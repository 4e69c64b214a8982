#include "platform/Paths.h"

#include <QStandardPaths>

namespace glasswing::paths {

// The generic locations, not the application-specific ones: the folders are shared with other
// programs (the design tool's plug-in) that know nothing of this application's name.
QString cachesDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
}

QString applicationSupportDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

QString configDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

} // namespace glasswing::paths
