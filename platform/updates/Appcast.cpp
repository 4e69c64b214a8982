#include "platform/updates/Appcast.h"

#include "platform/updates/VersionComparison.h"

#include <QXmlStreamReader>

namespace glasswing {

namespace {

QUrl resolved(const QUrl& base, const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return {};
    const QUrl url(trimmed);
    return url.isValid() ? base.resolved(url) : QUrl();
}

void readItem(QXmlStreamReader& reader, const QUrl& feedURL, AppcastItem& item)
{
    const QString sparkle = QString::fromLatin1(kSparkleNamespace);
    QUrl enclosureURL;
    QUrl link;
    while (reader.readNextStartElement()) {
        const auto name = reader.name();
        if (reader.namespaceUri().isEmpty()) {
            if (name == QLatin1String("title")) {
                item.title = reader.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            } else if (name == QLatin1String("link")) {
                link = resolved(feedURL, reader.readElementText(QXmlStreamReader::IncludeChildElements));
            } else if (name == QLatin1String("description")) {
                item.releaseNotes = reader.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            } else if (name == QLatin1String("enclosure")) {
                const QXmlStreamAttributes attributes = reader.attributes();
                enclosureURL = resolved(feedURL, attributes.value(QLatin1String("url")).toString());
                // The item's own elements, when present, win over the enclosure's attributes.
                if (item.version.isEmpty())
                    item.version = attributes.value(sparkle, QLatin1String("version")).toString().trimmed();
                if (item.shortVersionString.isEmpty())
                    item.shortVersionString
                        = attributes.value(sparkle, QLatin1String("shortVersionString")).toString().trimmed();
                reader.skipCurrentElement();
            } else {
                reader.skipCurrentElement();
            }
        } else if (reader.namespaceUri() == sparkle) {
            if (name == QLatin1String("version"))
                item.version = reader.readElementText().trimmed();
            else if (name == QLatin1String("shortVersionString"))
                item.shortVersionString = reader.readElementText().trimmed();
            else if (name == QLatin1String("releaseNotesLink"))
                item.releaseNotesURL = resolved(feedURL, reader.readElementText());
            else
                reader.skipCurrentElement();
        } else {
            reader.skipCurrentElement();
        }
    }
    item.downloadURL = link.isValid() ? link : enclosureURL;
}

} // namespace

std::optional<QList<AppcastItem>> parseAppcast(const QByteArray& data, const QUrl& feedURL, QString* error)
{
    QXmlStreamReader reader(data);
    QList<AppcastItem> items;
    bool sawChannel = false;
    int itemCount = 0;
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("rss")
        || !reader.namespaceUri().isEmpty()) {
        if (!reader.hasError()) {
            *error = QStringLiteral("the document is not an RSS feed");
            return std::nullopt;
        }
    } else {
        while (reader.readNextStartElement()) {
            if (reader.name() != QLatin1String("channel") || !reader.namespaceUri().isEmpty()) {
                reader.skipCurrentElement();
                continue;
            }
            sawChannel = true;
            while (reader.readNextStartElement()) {
                if (reader.name() == QLatin1String("item") && reader.namespaceUri().isEmpty()) {
                    ++itemCount;
                    AppcastItem item;
                    readItem(reader, feedURL, item);
                    if (!item.comparedVersion().isEmpty())
                        items << item;
                } else {
                    reader.skipCurrentElement();
                }
            }
        }
        // Whatever follows the root must still be well-formed (no second root, no garbage).
        while (!reader.atEnd() && !reader.hasError())
            reader.readNext();
    }
    if (reader.hasError()) {
        *error = QStringLiteral("the XML is malformed at line %1: %2")
                     .arg(reader.lineNumber())
                     .arg(reader.errorString());
        return std::nullopt;
    }
    if (!sawChannel) {
        *error = QStringLiteral("the feed has no channel");
        return std::nullopt;
    }
    if (itemCount > 0 && items.isEmpty()) {
        *error = QStringLiteral("no item in the feed has a version");
        return std::nullopt;
    }
    return items;
}

const AppcastItem* newestItem(const QList<AppcastItem>& items)
{
    const AppcastItem* newest = nullptr;
    for (const AppcastItem& item : items) {
        if (!newest || compareVersions(item.comparedVersion(), newest->comparedVersion()) > 0)
            newest = &item;
    }
    return newest;
}

} // namespace glasswing
