#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace glasswing {

// One release as an appcast lists it.
struct AppcastItem {
    QString title;
    // The build version (sparkle:version), the one compared; from the item or its enclosure.
    QString version;
    // The version shown to people (sparkle:shortVersionString).
    QString shortVersionString;
    // The download page (<link>), else the enclosure's address; resolved against the feed.
    QUrl downloadURL;
    // <description> exactly as sent: shown only as plain text, never rendered.
    QString releaseNotes;
    // sparkle:releaseNotesLink, resolved against the feed; shown as an address, never fetched.
    QUrl releaseNotesURL;

    // The build version, else the display one.
    QString comparedVersion() const { return version.isEmpty() ? shortVersionString : version; }
    // The display version, else the build one.
    QString displayVersion() const { return shortVersionString.isEmpty() ? version : shortVersionString; }
};

// The Sparkle XML namespace, in which the version elements and attributes live.
inline constexpr const char* kSparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

// Reads an appcast: an RSS 2.0 document (<rss><channel><item>...) using the Sparkle namespace.
// Items without any version are left out. Returns nothing, and says why in `error`, when the
// data is not well-formed XML, not an RSS channel, or has items of which none has a version. A
// channel without items is valid and empty.
std::optional<QList<AppcastItem>> parseAppcast(const QByteArray& data, const QUrl& feedURL, QString* error);

// The item with the newest compared version (the first of equals); null when `items` is empty.
const AppcastItem* newestItem(const QList<AppcastItem>& items);

} // namespace glasswing
