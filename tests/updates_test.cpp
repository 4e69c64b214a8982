// The update checker: versions and the appcast as tables on bytes, then the controller against a
// feed server of the test's own on 127.0.0.1 for what only the network does (redirects, HTTPS
// kept, size limits), with the dialog each outcome leads to.
#include "platform/UserDefaults.h"
#include "platform/peer/EphemeralIdentity.h"
#include "platform/updates/Appcast.h"
#include "platform/updates/StandardUpdaterController.h"
#include "platform/updates/VersionComparison.h"
#include "support/WelcomeWindows.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpServer>
#include <QTest>

#include <chrono>
#include <memory>

using namespace glasswing;
using Outcome = StandardUpdaterController::Outcome;
using Failure = StandardUpdaterController::Failure;

namespace {

constexpr qint64 kLimit = 1024 * 1024; // the most a feed may be, on the wire or unpacked

// What the server sends for one path: all of it, then it closes; or, stalling, never closes.
struct Route {
    QByteArray response;
    bool stalls = false;
};
using Routes = QMap<QByteArray, Route>;

Route whole(int status, const QByteArray& body, const QByteArray& headers = {})
{
    return {"HTTP/1.1 " + QByteArray::number(status)
            + " Whatever\r\nContent-Type: application/rss+xml\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\nConnection: close\r\n" + headers + "\r\n" + body};
}
Route redirect(const QByteArray& location)
{
    return whole(302, {}, "Location: " + location + "\r\n");
}
Route stall(const QByteArray& response)
{
    return {response, true};
}

// Packed as "deflate" (a zlib stream: qCompress's, without its length).
Route packed(const QByteArray& body)
{
    return whole(200, qCompress(body, 9).mid(4), "Content-Encoding: deflate\r\n");
}

QByteArray appcast(const QByteArray& items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>Glasswing</title>"
        + items + "</channel></rss>";
}

// An item with its build version, display version, link and notes, each left out when empty.
QByteArray item(const QByteArray& version, const QByteArray& shortVersion = {}, const QByteArray& link = {},
                const QByteArray& notes = {})
{
    const auto element = [](const char* name, const QByteArray& text) {
        return text.isEmpty() ? QByteArray() : '<' + QByteArray(name) + '>' + text + "</" + QByteArray(name) + '>';
    };
    return "<item><title>Glasswing</title>" + element("sparkle:version", version)
        + element("sparkle:shortVersionString", shortVersion) + element("link", link)
        + (notes.isEmpty() ? QByteArray() : "<description><![CDATA[" + notes + "]]></description>") + "</item>";
}

QByteArray enclosure(const QByteArray& url, const QByteArray& version, const QByteArray& shortVersion = {})
{
    return "<enclosure url=\"" + url + "\" sparkle:version=\"" + version + "\""
        + (shortVersion.isEmpty() ? QByteArray() : " sparkle:shortVersionString=\"" + shortVersion + "\"")
        + " length=\"100\" type=\"application/octet-stream\"/>";
}

QStringList strings(std::initializer_list<const char*> texts)
{
    QStringList list;
    for (const char* text : texts)
        list << QString::fromUtf8(text);
    return list;
}

// "{plain}" and "{tls}" in an address: the test's servers of this row. They stand only in
// headers (Location), so that a told length still holds.
QMap<QByteArray, QByteArray> placeholders;

QByteArray expand(QByteArray text)
{
    for (auto it = placeholders.cbegin(); it != placeholders.cend(); ++it)
        text.replace(it.key(), it.value());
    return text;
}

// An HTTP/1.1 server on 127.0.0.1 (or, with `tls`, HTTPS as "localhost") answering each path as its
// route says. Requests arriving as to a proxy (an absolute address) are served by their path too;
// the HTTPS server notes its requests as "tls <path>".
class FeedServer : public QObject {
public:
    explicit FeedServer(Routes routes, const peer::EphemeralIdentity* tls = nullptr)
        : m_routes(std::move(routes))
        , m_server(tls ? std::make_unique<QSslServer>() : std::make_unique<QTcpServer>())
        , m_tls(tls != nullptr)
    {
        if (tls) {
            QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
            configuration.setLocalCertificate(tls->certificate);
            configuration.setPrivateKey(tls->privateKey);
            static_cast<QSslServer*>(m_server.get())->setSslConfiguration(configuration);
        }
        connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = m_server->nextPendingConnection()) {
                socket->setParent(this);
                auto request = std::make_shared<QByteArray>();
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
                    const bool whole = request->contains("\r\n\r\n");
                    *request += socket->readAll();
                    if (!whole && request->contains("\r\n\r\n"))
                        serve(socket, *request);
                });
            }
        });
        m_server->listen(QHostAddress::LocalHost);
    }
    QString base() const
    {
        return (m_tls ? QStringLiteral("https://localhost:%1") : QStringLiteral("http://127.0.0.1:%1")).arg(port());
    }
    quint16 port() const { return m_server->serverPort(); }
    QStringList requests;

private:
    void serve(QTcpSocket* socket, const QByteArray& request)
    {
        QByteArray target = request.left(request.indexOf("\r\n")).split(' ').value(1);
        if (target.startsWith("http://"))
            target = QUrl::fromEncoded(target).path(QUrl::FullyEncoded).toUtf8();
        requests << QString::fromUtf8(m_tls ? "tls " + target : target);
        const Route route = m_routes.value(target, whole(404, "no such feed"));
        socket->write(expand(route.response));
        if (!route.stalls)
            socket->disconnectFromHost();
    }

    Routes m_routes;
    std::unique_ptr<QTcpServer> m_server;
    bool m_tls = false;
};

QList<QMessageBox*> openMessageBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            boxes << box;
    return boxes;
}

// A controller with a store of its own in `home`, checking `feed`.
std::unique_ptr<StandardUpdaterController> controllerFor(const QTemporaryDir& home, const QUrl& feed)
{
    auto controller = std::make_unique<StandardUpdaterController>(false);
    controller->setUserDefaults(UserDefaults(home.filePath(QStringLiteral("defaults.json"))));
    controller->setFeedURL(feed);
    return controller;
}

} // namespace

Q_DECLARE_METATYPE(Route)
Q_DECLARE_METATYPE(Routes)

class UpdatesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Requests go nowhere but to the test's own server, whatever the environment says.
    void init() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }
    void cleanup()
    {
        qDeleteAll(openMessageBoxes());
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }

    void versionsOrderAsPeopleDo_data();
    void versionsOrderAsPeopleDo();
    void theAppcastGivesTheNewestRelease_data();
    void theAppcastGivesTheNewestRelease();
    void aCheckEndsInOneDialog_data();
    void aCheckEndsInOneDialog();
    void automaticChecksFollowTheSetting_data();
    void automaticChecksFollowTheSetting();
};

void UpdatesTest::versionsOrderAsPeopleDo_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");
    const struct {
        const char *a, *b;
        int expected;
    } rows[] = {{"1.10", "1.9", 1},          {"2.0", "2.0.0", 0},
                {"2.0-beta1", "2.0", -1},    {"2.0-beta2", "2.0-beta10", -1},
                {"2.0-rc1", "2.0-beta3", 1}, {"100000000000000000000", "99999999999999999999", 1}};
    for (const auto& row : rows)
        QTest::addRow("%s vs %s", row.a, row.b) << QString::fromUtf8(row.a) << QString::fromUtf8(row.b) << row.expected;
}

void UpdatesTest::versionsOrderAsPeopleDo()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    QCOMPARE(compareVersions(a, b), expected);
    QCOMPARE(compareVersions(b, a), -expected);
}

void UpdatesTest::theAppcastGivesTheNewestRelease_data()
{
    // The items of a channel, or a whole document when it starts with "<?xml".
    QTest::addColumn<QByteArray>("feed");
    QTest::addColumn<int>("items"); // how many the parser kept; -1 when it refuses the feed
    // Of the newest item: build version, display version, download address, notes, notes address;
    // or, for a refused feed, the reason in `version`.
    QTest::addColumn<QStringList>("newest");

    const auto row
        = [](const char* name, const QByteArray& feed, int items, std::initializer_list<const char*> newest) {
              QTest::newRow(name) << feed << items << strings(newest);
          };
    const QByteArray archive = "https://glasswing.example/Glasswing-42.tar.gz";
    row("item elements", item("99", "99.0 (final)", "https://glasswing.example/d", "<b>x</b>\n"), 1,
        {"99", "99.0 (final)", "https://glasswing.example/d", "<b>x</b>", ""});
    row("enclosure attributes, notes by address",
        "<item><sparkle:releaseNotesLink>notes.html</sparkle:releaseNotesLink>" + enclosure(archive, "42", "42.0")
            + "</item>",
        1, {"42", "42.0", archive.constData(), "", "https://feeds.example/glasswing/notes.html"});
    // The item's own elements win over its enclosure's attributes.
    row("item's versions before the enclosure's",
        "<item><sparkle:version>7</sparkle:version><sparkle:shortVersionString>7.0</sparkle:shortVersionString>"
            + enclosure(archive, "99", "99.0") + "</item>",
        1, {"7", "7.0", archive.constData(), "", ""});
    row("newest of several, in no order, the first of equals, none without a version",
        item("1.0", {}, "https://a/1.0") + item("99.1", {}, "https://a/first") + item({}, {}, "https://a/none")
            + item("99.1", {}, "https://a/second"),
        3, {"99.1", "", "https://a/first", "", ""});
    row("malformed", "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><item><title>", -1,
        {"the XML is malformed"});
    row("no item with a version", item({}, {}, "https://a/none"), -1, {"no item in the feed has a version"});
}

void UpdatesTest::theAppcastGivesTheNewestRelease()
{
    QFETCH(QByteArray, feed);
    QFETCH(int, items);
    QFETCH(QStringList, newest);
    QString error;
    const auto parsed = parseAppcast(feed.startsWith("<?xml") ? feed : appcast(feed),
                                     QUrl(QStringLiteral("https://feeds.example/glasswing/appcast.xml")), &error);
    if (items < 0) {
        QVERIFY(!parsed);
        QVERIFY2(error.startsWith(newest.first()), qPrintable(error));
        return;
    }
    QVERIFY2(parsed, qPrintable(error));
    QCOMPARE(parsed->size(), items);
    const AppcastItem* found = newestItem(*parsed);
    QVERIFY(found);
    QCOMPARE((QStringList{found->version, found->shortVersionString, found->downloadURL.toString(), found->releaseNotes,
                          found->releaseNotesURL.toString()}),
             newest);
}

void UpdatesTest::aCheckEndsInOneDialog_data()
{
    QTest::addColumn<Routes>("routes");
    // A path on the plain server, or a whole address; nobody listens on port 1 of this machine, which
    // is reached without the proxy.
    QTest::addColumn<QString>("feed");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QString>("said"); // within the dialog's text
    QTest::addColumn<QStringList>("requests");
    // The page Download opens; "up to date" when the check found nothing newer, "no feed" when none
    // was looked for.
    QTest::addColumn<QString>("download");

    const QByteArray page = "https://glasswing.example/download";
    const QByteArray notes = "<b>x</b><script>alert(1)</script>";
    const Route newer = whole(200, appcast(item("99.0", "99.0", page, notes)));
    const auto row
        = [](const char* name, const Routes& routes, const char* feed, Failure failure, const QByteArray& said,
             std::initializer_list<const char*> requests = {"/feed"}, const QByteArray& download = {}) {
              QTest::newRow(name) << routes << QString::fromUtf8(feed) << failure << QString::fromUtf8(said)
                                  << strings(requests) << QString::fromUtf8(download);
          };
    // The feed at /feed, and only it asked for.
    const auto at = [&row](const char* name, const Route& route, Failure failure, const QByteArray& said,
                           const QByteArray& download = {}) {
        row(name, {{"/feed", route}}, "/feed", failure, said, {"/feed"}, download);
    };
    const QByteArray newest
        = "Glasswing " + StandardUpdaterController::currentVersion().toUtf8() + " is the newest version available.";
    at("newer, its notes as they are", newer, Failure::None, notes, page);
    const QByteArray current = StandardUpdaterController::currentBuild().toUtf8();
    at("the same version", whole(200, appcast(item(current, {}, page))), Failure::None, newest, "up to date");
    at("newer, with no secure download page", whole(200, appcast(item("99.0", {}, "http://glasswing.example/d"))),
       Failure::InvalidFeed, "version 99.0 has no secure download address");
    // More than the limit, and the rest never comes: the check ends as soon as the limit is passed.
    at("too big, length untold", stall("HTTP/1.1 200 OK\r\n\r\n<rss>" + QByteArray(kLimit + 1024, ' ')),
       Failure::FeedTooLarge, "too large");
    // A few KiB on the wire, 4 MiB once unpacked: the limit is on what the parser would see.
    at("too big once unpacked", packed(QByteArray(4 * kLimit, ' ')), Failure::FeedTooLarge, "too large");
    row("nobody listening", {}, "http://127.0.0.1:1/feed", Failure::CannotReachServer, "cannot be reached", {});
    // Plain HTTP goes to the test's server as to a proxy: a request that should never be made is
    // seen there instead of leaving the machine.
    row("plain HTTP to another machine", {{"/feed", newer}}, "http://glasswing.example/feed", Failure::InsecureAddress,
        "http://glasswing.example/feed is insecure", {});
    Routes chain{{"/feed", newer}};
    for (int hop = 0; hop < 6; ++hop)
        chain.insert("/" + QByteArray::number(hop), redirect(hop == 5 ? "/feed" : "/" + QByteArray::number(hop + 1)));
    row("five redirects", chain, "/1", Failure::None, "99.0", {"/1", "/2", "/3", "/4", "/5", "/feed"}, page);
    row("a sixth redirect", chain, "/0", Failure::TooManyRedirects, "redirected", {"/0", "/1", "/2", "/3", "/4", "/5"});
    // A build without a feed (the Debian package, the default build) fetches nothing: updates come
    // with the package.
    row("no feed", {}, "", Failure::None, "come with the package", {}, "no feed");
    // The loopback exception is for feeds configured on plain loopback (tests, development): a check
    // begun on HTTPS never makes a plain request, even to this machine.
    row("HTTPS, redirect to plain HTTP on 127.0.0.1", {{"/moved", redirect("{plain}/feed")}, {"/feed", newer}},
        "{tls}/moved", Failure::InsecureAddress, "insecure", {"tls /moved"});
}

void UpdatesTest::aCheckEndsInOneDialog()
{
    QFETCH(Routes, routes);
    QFETCH(QString, feed);
    QFETCH(Failure, failure);
    QFETCH(QString, said);
    QFETCH(QStringList, requests);
    QFETCH(QString, download);

    // Both servers answer alike, so that a request to the wrong one is seen rather than failing.
    FeedServer server(routes);
    const bool secure = feed.startsWith(QStringLiteral("{tls}"));
    std::unique_ptr<FeedServer> tls;
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(saved); });
    if (secure) {
        // The test's own certificate is trusted while it runs, as a real server's would be.
        static const auto identity = peer::EphemeralIdentity::generate(QStringLiteral("localhost"));
        QSslConfiguration trusting = saved;
        trusting.addCaCertificate(identity.certificate);
        QSslConfiguration::setDefaultConfiguration(trusting);
        tls = std::make_unique<FeedServer>(routes, &identity);
    }
    placeholders = {{"{plain}", server.base().toUtf8()}, {"{tls}", tls ? tls->base().toUtf8() : QByteArray()}};
    const QByteArray where = feed.startsWith(QLatin1Char('/')) ? "{plain}" + feed.toUtf8() : feed.toUtf8();
    const QUrl feedURL(QString::fromUtf8(expand(where)));
    if (!secure && feedURL.port() != 1) {
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), server.port()));
    }
    QTemporaryDir home;
    const auto controller = controllerFor(home, feedURL);
    if (feed.isEmpty() && controller->hasFeed())
        QSKIP("this build was configured with an update feed (GLASSWING_UPDATE_FEED)");
    controller->setTimeout(std::chrono::seconds(5));
    controller->checkForUpdates();
    QTRY_VERIFY_WITH_TIMEOUT(!controller->isChecking(), 10000);

    const Outcome outcome = failure != Failure::None ? Outcome::Failed
        : download == QLatin1String("up to date")    ? Outcome::UpToDate
        : download == QLatin1String("no feed")       ? Outcome::NoFeed
                                                     : Outcome::UpdateAvailable;
    QCOMPARE(controller->lastOutcome(), outcome);
    QCOMPARE(controller->lastFailure(), failure);
    QCOMPARE(server.requests + (tls ? tls->requests : QStringList()), requests);

    const QList<QMessageBox*> boxes = openMessageBoxes();
    QCOMPARE(boxes.size(), 1);
    QMessageBox* box = boxes.first();
    QCOMPARE(box->textFormat(), Qt::PlainText); // whatever the feed says is shown as its characters
    // The title, the text's start and end (for a failure: the version, the reason, what to try), the button.
    const QString version = StandardUpdaterController::currentVersion();
    const bool network = failure == Failure::CannotReachServer || failure == Failure::TimedOut;
    const bool address = failure == Failure::InvalidAddress || failure == Failure::InsecureAddress;
    const QStringList expected = outcome == Outcome::Failed
        ? QStringList{QStringLiteral("Update check failed"),
                      QStringLiteral("Glasswing %1 could not check").arg(version),
                      network       ? QStringLiteral("Check your connection to the internet and try again later.")
                          : address ? QStringLiteral("get newer versions from where you got this one.")
                                    : QStringLiteral("try again later."),
                      QStringLiteral("OK")}
        : outcome == Outcome::UpToDate
        ? QStringList{QStringLiteral("You're up to date"), QString(), QString(), QStringLiteral("OK")}
        : outcome == Outcome::NoFeed
        ? QStringList{QStringLiteral("Updates come with the package"),
                      QStringLiteral("This is Glasswing %1.").arg(version),
                      QStringLiteral("along with the rest of the system."), QStringLiteral("OK")}
        : QStringList{QStringLiteral("A new version of Glasswing is available!"),
                      QStringLiteral("Glasswing 99.0 is now available (you have %1).").arg(version), QString(),
                      QStringLiteral("Download")};
    const QString text = box->text();
    QCOMPARE(box->windowTitle(), expected[0]);
    QVERIFY2(text.startsWith(expected[1]) && text.endsWith(expected[2]) && text.contains(said)
                 && text.contains(controller->lastFailureReason()),
             qPrintable(text));
    QPointer<QMessageBox> watched(box);
    test::OpenedUrls browser;
    for (QAbstractButton* button : box->buttons())
        if (button->text().remove(QLatin1Char('&')) == expected[3])
            button->click();
    QCOMPARE(browser.urls, outcome == Outcome::UpdateAvailable ? QList<QUrl>{QUrl(download)} : QList<QUrl>{});
    QTRY_VERIFY(watched.isNull());
}

// With the setting on, a check is due a day after the last one, and a newer version found is shown.
void UpdatesTest::automaticChecksFollowTheSetting_data()
{
    QTest::addColumn<int>("hoursAgo"); // since the last check
    QTest::addColumn<bool>("checks");
    QTest::newRow("checked 25 h ago") << 25 << true;
    QTest::newRow("checked 1 h ago") << 1 << false;
}

void UpdatesTest::automaticChecksFollowTheSetting()
{
    QFETCH(int, hoursAgo);
    QFETCH(bool, checks);

    FeedServer server({{"/feed", whole(200, appcast(item("99.0", {}, "https://a/d")))}});
    QTemporaryDir home;
    UserDefaults defaults(home.filePath(QStringLiteral("defaults.json")));
    QVERIFY(defaults.setBool(QStringLiteral("SUEnableAutomaticChecks"), true));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime last
        = QDateTime::fromString(now.addSecs(-3600 * qint64(hoursAgo)).toString(Qt::ISODate), Qt::ISODate);
    QVERIFY(defaults.setString(QStringLiteral("SULastCheckTime"), last.toString(Qt::ISODate)));

    const auto controller = controllerFor(home, QUrl(server.base() + QStringLiteral("/feed")));
    QSignalSpy finished(controller.get(), &StandardUpdaterController::checkFinished);
    controller->startUpdater();
    if (checks) {
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(QDateTime::fromString(defaults.stringForKey(QStringLiteral("SULastCheckTime")), Qt::ISODate)
                >= now.addSecs(-1));
        // The next one a day after this one.
        QVERIFY(controller->nextScheduledCheck() >= now.addSecs(24 * 3600 - 1));
        QVERIFY(controller->nextScheduledCheck() <= QDateTime::currentDateTimeUtc().addSecs(24 * 3600));
    } else {
        QCoreApplication::processEvents();
        QCOMPARE(server.requests, QStringList());
        QCOMPARE(controller->nextScheduledCheck(), last.addSecs(24 * 3600));
    }
    QCOMPARE(openMessageBoxes().size(), checks ? 1 : 0);
}

QTEST_MAIN(UpdatesTest)
#include "updates_test.moc"
