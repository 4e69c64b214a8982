#pragma once

class QUrl;

namespace glasswing {

// Opens a web address with the desktop's default handler (the user's browser). Returns false
// when no handler could be started.
bool openURL(const QUrl& url);

} // namespace glasswing
