#include "platform/Workspace.h"

#include <QDesktopServices>
#include <QUrl>

namespace glasswing {

bool openURL(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace glasswing
