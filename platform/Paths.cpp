#include "platform/Paths.h"

#include <QDir>

namespace glasswing::paths {

namespace {

// Only an absolute value counts: a relative one would name a different folder for every working
// directory.
QString absoluteVariable(const char* name)
{
    const QString value = qEnvironmentVariable(name);
    return value.startsWith(QLatin1Char('/')) ? QDir::cleanPath(value) : QString();
}

// The generic folders, not application-specific ones: they are shared with other programs (the
// design tool's plug-in) that know nothing of this application's name. Computed here rather than
// by QStandardPaths, which takes relative XDG values as they are and, with no HOME, answers with
// a folder under "/".
QString baseDirectory(const char* variable, const QString& underHome)
{
    const QString value = absoluteVariable(variable);
    if (!value.isEmpty())
        return value;
    const QString home = absoluteVariable("HOME");
    return home.isEmpty() ? QString() : QDir::cleanPath(home + underHome);
}

} // namespace

QString cachesDirectory()
{
    return baseDirectory("XDG_CACHE_HOME", QStringLiteral("/.cache"));
}

QString applicationSupportDirectory()
{
    return baseDirectory("XDG_DATA_HOME", QStringLiteral("/.local/share"));
}

QString configDirectory()
{
    return baseDirectory("XDG_CONFIG_HOME", QStringLiteral("/.config"));
}

} // namespace glasswing::paths
