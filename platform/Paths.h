#pragma once

#include <QString>

namespace glasswing::paths {

// The user's folders, by the XDG Base Directory rules: the variable's value when it is an
// absolute path; otherwise (unset, empty, or relative, which the rules say to ignore) the default
// under $HOME. Empty when there is no usable home either (HOME unset, empty or relative): there
// is then no such folder, rather than one under "/" or the working directory. Paths come back
// cleaned (no trailing or doubled slash). Read from the environment on every call; tests isolate
// themselves through HOME and XDG_* (QStandardPaths' test mode does not apply).

// The user's caches directory: $XDG_CACHE_HOME, or $HOME/.cache.
QString cachesDirectory();

// The user's Application Support directory: $XDG_DATA_HOME, or $HOME/.local/share.
QString applicationSupportDirectory();

// Where the user-defaults store lives: $XDG_CONFIG_HOME, or $HOME/.config.
QString configDirectory();

} // namespace glasswing::paths
