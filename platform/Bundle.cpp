#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace glasswing {

QString bundleResourcesDirectory()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/glasswing"));
}

QString pathForResource(const QString& name, const QString& type)
{
    if (name.isEmpty() || name.contains(u'/') || type.contains(u'/'))
        return {};
    const QString path = bundleResourcesDirectory() + u'/' + name + (type.isEmpty() ? QString() : u'.' + type);
    return QFileInfo::exists(path) ? path : QString();
}

} // namespace glasswing
