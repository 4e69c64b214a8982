#pragma once

#include <QString>

namespace glasswing::paths {

// The user's caches directory (~/.cache, or $XDG_CACHE_HOME). Empty when the platform cannot
// name one (no home folder at all).
QString cachesDirectory();

// The user's Application Support directory (~/.local/share, or $XDG_DATA_HOME). Empty when the
// platform cannot name one.
QString applicationSupportDirectory();

// Where the user-defaults store lives ($XDG_CONFIG_HOME, ~/.config by default). Empty when the
// platform cannot name one.
QString configDirectory();

} // namespace glasswing::paths
